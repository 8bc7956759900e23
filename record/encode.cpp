#include "record/encode.h"

#include <QDebug>
#include <QMutexLocker>
#include <algorithm>
#include <cstdlib>

namespace {

constexpr double ntsc_frame_ms = 33.366700033366705;  // 1000 / 29.97
constexpr double pal_frame_ms = 40.0;
constexpr double audio_byte_rate = 192000.0;  // 48000 Hz, 2 channels, 2 bytes
constexpr int overflow_chunks = 18;           // audio queue limit ...
constexpr int overflow_keep = 12;             // ... and what is left of it
constexpr int pass_sleep_ms = 40;
constexpr int five_hours_pal = 450000;
constexpr int five_hours_ntsc = 539460;

}  // namespace

encode::encode(QObject* parent) : QThread(parent), pending_audio(new QByteArray) {}

encode::~encode() {
  empty_queues();
  delete pending_audio;
}

void encode::start_encoder() {
  QMutexLocker lock(&queue_mutex);
  if (isRunning()) return;
  // A thread that ended on its own (after an error) has not been waited for
  // yet: waiting here makes its writes visible before they are reused.
  wait();
  stop_requested = false;
  failed = false;
  passes = 0;
  frame_rate = sixty_hz ? 29.97 : 25.0;
  start(QThread::InheritPriority);
}

void encode::add_video_frame(uchar* frame) {
  if (stop_requested) {
    std::free(frame);
    return;
  }
  uint dropped = 0;
  {
    QMutexLocker lock(&queue_mutex);
    if (failed) {
      std::free(frame);
      return;
    }
    video_queue.append(frame);
    dropped = drop_video_frames(uint(std::max(1, max_queued_frames)));
  }
  if (dropped > 0) count_dropped_frames(dropped);
}

void encode::count_dropped_frames(uint count) {
  dropped_frame_count += count;
  emit dropped_frames(count);
}

void encode::add_audio(QByteArray* bytes) {
  if (stop_requested || failed) {
    delete bytes;
    return;
  }
  pending_audio->append(*bytes);
  delete bytes;
  const unsigned chunk = audio_chunk_bytes;
  if (chunk == 0) return;  // no audio stream yet: the bytes wait
  const qsizetype whole = pending_audio->size() / qsizetype(chunk) * qsizetype(chunk);
  if (whole == 0) return;
  QList<QByteArray*> chunks;
  for (qsizetype offset = 0; offset < whole; offset += chunk)
    chunks.append(new QByteArray(pending_audio->constData() + offset, qsizetype(chunk)));
  pending_audio->remove(0, whole);
  QMutexLocker lock(&queue_mutex);
  if (failed) {
    qDeleteAll(chunks);
    return;
  }
  audio_queue.append(chunks);
}

uint encode::drop_video_frames(uint keep) {
  uint dropped = 0;
  while (uint(video_queue.size()) > keep) {
    std::free(video_queue.takeFirst());
    ++dropped;
  }
  return dropped;
}

uint encode::drop_audio_chunks(uint keep) {
  uint dropped = 0;
  while (uint(audio_queue.size()) > keep) {
    delete audio_queue.takeFirst();
    ++dropped;
  }
  return dropped;
}

void encode::empty_queues() {
  QMutexLocker lock(&queue_mutex);
  drop_audio_chunks(0);
  drop_video_frames(0);
}

int encode::split_limit() const {
  const int lowered = split_frames;
  if (lowered > 0) return lowered;
  return sixty_hz ? five_hours_ntsc : five_hours_pal;
}

void encode::run() {
  run_completion::guard done(completion);
  failure_message.clear();
  bool ok = open_output();
  // What arrived while the file was being opened is not recorded.
  empty_queues();
  recording_timer.start();
  if (ok && !stop_requested) {
    do {
      ok = interleave();
      if (!ok) break;
      status_pass();
      if (frames_encoded > split_limit()) {
        ok = close_output();
        if (ok) ok = open_output();
        if (!ok) break;
        recording_timer.start();
      }
      QThread::msleep(pass_sleep_ms);
      ++passes;
    } while (!stop_requested);
  }
  // Close even after an error, so the file gets its trailer if it can.
  if (!close_output()) ok = false;
  if (!ok) {
    QMutexLocker lock(&queue_mutex);
    failed = true;
  }
  empty_queues();
  if (!ok) emit recording_failed(failure_message);
}

bool encode::interleave() {
  QMutexLocker lock(&queue_mutex);
  while (!video_queue.isEmpty() && !audio_queue.isEmpty()) {
    // Let the main thread in between two packets.
    lock.unlock();
    lock.relock();
    if (audio_queue.isEmpty()) break;
    QByteArray* chunk = audio_queue.takeFirst();
    lock.unlock();

    std::copy_n(chunk->constData(), std::min<qsizetype>(chunk->size(), audio_chunk_bytes), samples);
    delete chunk;
    if (!write_audio_frame()) return false;
    video_time = video_stream_time();
    audio_time = audio_stream_time();
    if (video_time <= audio_time) {
      lock.relock();
      current_frame = video_queue.isEmpty() ? nullptr : video_queue.takeFirst();
      lock.unlock();
      if (current_frame && !write_video_frame()) return false;
    }
    lock.relock();
  }
  return true;
}

void encode::status_pass() {
  const double frame_ms = sixty_hz ? ntsc_frame_ms : pal_frame_ms;
  const double supposed = recording_timer.elapsed() / frame_ms;
  const int encoded = frames_encoded;

  QMutexLocker lock(&queue_mutex);
  // Items separated by one space, the last one followed by a space too.
  qDebug().noquote().nospace() << '"' << QString("%1").arg(encoded - supposed, 10, 'f', 10) << '"'
                               << " : supposed to have encoded " << QString::number(supposed, 'g', 6)
                               << " actually encoded " << encoded << " ; video_queue.size() " << video_queue.size()
                               << " audio_queue.size() " << audio_queue.size() << ' ';

  if (audio_queue.size() > overflow_chunks) {
    const uint dropped = drop_audio_chunks(overflow_keep);
    qDebug() << "audio: dropped" << dropped << "frames!";
  }

  const unsigned chunk = audio_chunk_bytes;
  if (video_queue.size() > 1 && audio_queue.isEmpty() && chunk != 0) {
    // About one frame's worth of silence for every waiting frame but the
    // last, so the video goes on when no audio comes.
    const int k = int(audio_byte_rate / frame_rate / chunk);
    for (qsizetype i = 0; i < video_queue.size() - 1; ++i) {
      qDebug() << "adding" << k << "audio frames to audio_queue";
      for (int j = 0; j < k; ++j) audio_queue.append(new QByteArray(qsizetype(chunk), '\0'));
    }
  }
}
