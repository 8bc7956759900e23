// A recording written as fast as the encoder takes it, for the tests that
// kill a recording part way and repair what it left: frames from
// tests/support/synthetic_media.h with the sound that covers each, through the real
// encoder and AVI writer, with its note in a journal directory.
//
//   recording_writer BASE [--frames N] [--ntsc] [--widescreen] [--noisy]
//                         [--journal DIR] [--reserve BYTES]
//
// Prints "writing FILE" once the file is open; without --frames it writes
// until it is killed. Ends with "done FILE FRAMES", or "failed MESSAGE" and
// exit code 1.
#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>
#include <cstdio>
#include <cstring>

#include "record/recorder.h"
#include "tests/support/synthetic_media.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: recording_writer BASE [--frames N] [--ntsc] [--widescreen] [--noisy] "
                 "[--journal DIR] [--reserve BYTES]\n");
    return 2;
  }
  recorder encoder;
  encoder.settings.base_name = QString::fromLocal8Bit(argv[1]);
  int64_t frames = -1;
  bool noisy = false;
  for (int i = 2; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!std::strcmp(argv[i], "--frames") && has_value)
      frames = std::atoll(argv[++i]);
    else if (!std::strcmp(argv[i], "--ntsc"))
      encoder.settings.sixty_hz = true;
    else if (!std::strcmp(argv[i], "--widescreen"))
      encoder.settings.widescreen = true;
    else if (!std::strcmp(argv[i], "--noisy"))
      noisy = true;
    else if (!std::strcmp(argv[i], "--journal") && has_value)
      encoder.settings.journal_directory = QString::fromLocal8Bit(argv[++i]);
    else if (!std::strcmp(argv[i], "--reserve") && has_value)
      encoder.settings.reserve_bytes = std::atoll(argv[++i]);
    else {
      std::fprintf(stderr, "recording_writer: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  const int field_lines = encoder.settings.sixty_hz ? 240 : 288;
  encoder.settings.field_lines = field_lines;
  encoder.start_recording();
  while (encoder.passes.load() < 1 && !encoder.isFinished()) QThread::msleep(5);
  if (encoder.isFinished()) {
    encoder.wait();
    std::printf("failed %s\n", qPrintable(encoder.failure_message));
    return 1;
  }
  std::printf("writing %s\n", qPrintable(encoder.file_name));
  std::fflush(stdout);

  int64_t sent_audio = 0;
  for (int64_t n = 0; frames < 0 || n < frames; ++n) {
    // A few frames ahead of the writer, no more.
    for (;;) {
      if (encoder.isFinished()) break;
      QMutexLocker lock(&encoder.queue_mutex);
      if (encoder.video_queue.size() < 4) break;
      lock.unlock();
      QThread::usleep(500);
    }
    if (encoder.isFinished()) break;
    const int64_t until = audio_bytes_for_frames(int(n + 1), encoder.settings.sixty_hz);
    encoder.add_audio(QByteArray(audio_bytes(sent_audio, until - sent_audio)));
    sent_audio = until;
    encoder.add_video_frame(new_frame(int(n), field_lines, noisy));
  }
  // Everything handed over is written before the stop.
  for (;;) {
    QMutexLocker lock(&encoder.queue_mutex);
    if (encoder.video_queue.empty() || encoder.isFinished()) break;
    lock.unlock();
    QThread::msleep(2);
  }
  encoder.stop_requested = true;
  encoder.wait();
  if (encoder.failed) {
    std::printf("failed %s\n", qPrintable(encoder.failure_message));
    return 1;
  }
  std::printf("done %s %d\n", qPrintable(encoder.file_name), encoder.frames_encoded.load());
  return 0;
}
