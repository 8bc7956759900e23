#include "record/encode.h"

#include <QDebug>
#include <QMutexLocker>
#include <algorithm>
#include <chrono>
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
// Frames that may be on their way from the stick to the queue at any time,
// and how far behind its clock the recording may fall before the missing
// frames are repeated: beyond the render thread's ring of 16 fields, a
// frame that has not come will not.
constexpr int64_t frames_on_their_way = 2;
constexpr int64_t fill_after_frames = 8;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
  frames_received = 0;
  frames_repeated = 0;
  frame_periods = 0;
  frames_damaged = 0;
  first_frame_ns = -1;
  clock_start_ns = 0;
  repeats_in_gap = 0;
  dropped_at_start = dropped_frame_count.load();
  frame_rate = sixty_hz ? 29.97 : 25.0;
  start(QThread::InheritPriority);
}

void encode::add_video_frame(uchar* frame) {
  if (stop_requested) {
    std::free(frame);
    return;
  }
  if (first_frame_ns.load() < 0 && clock_start_ns.load() != 0) first_frame_ns = steady_ns();
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

int64_t encode::frames_lost(int64_t at_least) const {
  return std::max(keep_time ? frame_periods - frames_received : 0, at_least);
}

int64_t encode::frames_lost_untold(int64_t at_least) const {
  // Frames thrown away before they were written were told lost already.
  const int64_t lost = frames_lost(at_least);
  return std::max<int64_t>(0, lost - int64_t(dropped_frame_count.load() - dropped_at_start));
}

void encode::count_damaged_frame() {
  ++frames_damaged;
  emit dropped_frames(1);
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
  clock_start_ns = steady_ns();
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
    if (ok && keep_time) ok = finish_recording();
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
      const bool any = !video_queue.isEmpty();
      uchar* frame = any ? video_queue.takeFirst() : nullptr;
      lock.unlock();
      if (any && !write_queued_frame(frame)) return false;
    }
    lock.relock();
  }
  return true;
}

// A queued frame, or a repeat where the queue holds none (null).
bool encode::write_queued_frame(uchar* frame) {
  if (!frame) return write_repeated_frame();
  current_frame = frame;
  ++frames_received;
  return write_video_frame();
}

int64_t encode::clock_periods() const {
  const double frame_ns = (sixty_hz ? ntsc_frame_ms : pal_frame_ms) * 1e6;
  const int64_t first = first_frame_ns.load();
  // The first frame fills the period it came in.
  if (first < 0) return int64_t(double(steady_ns() - clock_start_ns.load()) / frame_ns);
  return int64_t(double(steady_ns() - first) / frame_ns) + 1;
}

int64_t encode::fill_missing_frames(int64_t after, int64_t allowance) {
  const int64_t periods = clock_periods();
  QMutexLocker lock(&queue_mutex);
  const int64_t have = frames_received + frames_repeated + video_queue.size();
  if (periods - have <= after) return 0;
  const int64_t missing = periods - have - allowance;
  // They were missed before whatever waits in the queue.
  for (int64_t i = 0; i < missing; ++i) video_queue.prepend(nullptr);
  return missing;
}

bool encode::finish_recording() {
  frame_periods = clock_periods();
  const int64_t late = fill_missing_frames(frames_on_their_way, frames_on_their_way);
  if (late > 0) qDebug() << "recording: the last" << late << "frames never came: repeated";
  // Everything queued, the sound up to the pictures' time: the sound that
  // goes beyond it has no pictures and is left out.
  QMutexLocker lock(&queue_mutex);
  while (!video_queue.isEmpty()) {
    const bool sound_first = !audio_queue.isEmpty() && audio_stream_time() <= video_stream_time();
    if (sound_first) {
      QByteArray* chunk = audio_queue.takeFirst();
      lock.unlock();
      std::copy_n(chunk->constData(), std::min<qsizetype>(chunk->size(), audio_chunk_bytes), samples);
      delete chunk;
      if (!write_audio_frame()) return false;
    } else {
      uchar* frame = video_queue.takeFirst();
      lock.unlock();
      if (!write_queued_frame(frame)) return false;
    }
    lock.relock();
  }
  while (!audio_queue.isEmpty() && audio_stream_time() < video_stream_time()) {
    QByteArray* chunk = audio_queue.takeFirst();
    lock.unlock();
    std::copy_n(chunk->constData(), std::min<qsizetype>(chunk->size(), audio_chunk_bytes), samples);
    delete chunk;
    if (!write_audio_frame()) return false;
    lock.relock();
  }
  lock.unlock();
  // Silence for the rest, so both streams end together.
  if (audio_chunk_bytes == 0) return true;
  const double chunk_seconds = audio_chunk_bytes / audio_byte_rate;
  while (audio_stream_time() + chunk_seconds / 2 < video_stream_time()) {
    std::fill_n(samples, audio_chunk_bytes.load(), uint8_t(0));
    if (!write_audio_frame()) return false;
  }
  return true;
}

void encode::status_pass() {
  if (keep_time) {
    const int64_t filled = fill_missing_frames(fill_after_frames, frames_on_their_way);
    // Told once a gap: when it starts and when frames come again.
    if (filled > 0) {
      if (repeats_in_gap == 0) qDebug() << "recording: frames stopped coming; repeating the last one";
      repeats_in_gap += filled;
      received_at_fill = frames_received;
    } else if (repeats_in_gap > 0 && frames_received > received_at_fill + fill_after_frames) {
      qDebug() << "recording: frames come again after" << repeats_in_gap << "repeated in their place";
      repeats_in_gap = 0;
    }
  }
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
