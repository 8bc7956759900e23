// A recording written as fast as the recorder takes it, for the tests that
// kill a recording part way and repair what it left: frames from
// tests/support/synthetic_media.h with the sound that covers each, through the real
// recorder and AVI writer, with its note in a journal directory.
//
//   recording_writer BASE [--frames N] [--ntsc] [--widescreen] [--noisy]
//                         [--journal DIR] [--reserve BYTES]
//
// Prints "writing FILE" once the file is open; without --frames it writes
// until it is killed. Ends with "done FILE FRAMES", or "failed MESSAGE" and
// exit code 1.
#include <QCoreApplication>
#include <QThread>
#include <cstdio>
#include <cstring>

#include "record/recorder.h"
#include "tests/support/recorder_probe.h"
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
  recording_settings settings;
  bool sixty_hz = false;
  settings.base_name = QString::fromLocal8Bit(argv[1]);
  int64_t frames = -1;
  bool noisy = false;
  for (int i = 2; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (!std::strcmp(argv[i], "--frames") && has_value)
      frames = std::atoll(argv[++i]);
    else if (!std::strcmp(argv[i], "--ntsc"))
      sixty_hz = true;
    else if (!std::strcmp(argv[i], "--widescreen"))
      settings.widescreen = true;
    else if (!std::strcmp(argv[i], "--noisy"))
      noisy = true;
    else if (!std::strcmp(argv[i], "--journal") && has_value)
      settings.journal_directory = QString::fromLocal8Bit(argv[++i]);
    else if (!std::strcmp(argv[i], "--reserve") && has_value)
      settings.reserve_bytes = std::atoll(argv[++i]);
    else {
      std::fprintf(stderr, "recording_writer: unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  const int field_lines = sixty_hz ? 240 : 288;
  settings.field_lines = field_lines;
  settings.rate = sixty_hz ? sixty_hz_frame_rate : pal_frame_rate;
  encoder.start_recording(settings);
  while (encoder.counters().passes < 1 && !encoder.isFinished()) QThread::msleep(5);
  if (encoder.isFinished()) {
    encoder.wait();
    std::printf("failed %s\n", qPrintable(encoder.failure_message()));
    return 1;
  }
  std::printf("writing %s\n", qPrintable(encoder.file_name()));
  std::fflush(stdout);

  int64_t sent_audio = 0;
  for (int64_t n = 0; frames < 0 || n < frames; ++n) {
    // A few frames ahead of the writer, no more.
    while (!encoder.isFinished() && recorder_probe::queued_frames(encoder) >= 4) QThread::usleep(500);
    if (encoder.isFinished()) break;
    const int64_t until = audio_bytes_for_frames(int(n + 1), sixty_hz);
    encoder.add_audio(QByteArray(audio_bytes(sent_audio, until - sent_audio)));
    sent_audio = until;
    encoder.add_video_frame(new_frame(int(n), field_lines, noisy));
  }
  // Everything handed over is written before the stop.
  while (recorder_probe::queued_frames(encoder) > 0 && !encoder.isFinished()) QThread::msleep(2);
  encoder.request_stop();
  encoder.wait();
  if (encoder.counters().failed) {
    std::printf("failed %s\n", qPrintable(encoder.failure_message()));
    return 1;
  }
  std::printf("done %s %d\n", qPrintable(encoder.file_name()), encoder.counters().frames_in_file);
  return 0;
}
