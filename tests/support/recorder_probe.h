// What the tests see inside the recorder: its queues, the flags that refuse
// input, and a disk made slow at any time.
#pragma once

#include <QByteArray>
#include <QMutexLocker>
#include <atomic>
#include <cstddef>
#include <utility>

#include "record/recorder.h"

struct recorder_probe {
  // The recorder takes frames and sound as while a recording runs, with
  // `tuning`'s bounds and sound cut into `chunk_bytes` chunks, but without
  // its thread: the queues then hold exactly what was handed over.
  static void take_input(recorder& r, const recording_tuning& tuning = {}, unsigned chunk_bytes = 1000) {
    QMutexLocker lock(&r.queue_mutex);
    r.active_.tuning = tuning;
    r.stop_requested_ = false;
    r.sound_closed = false;
    r.audio_chunk_bytes = chunk_bytes;
  }
  // 0: no audio stream yet, the sound waits.
  static void set_chunk_bytes(recorder& r, unsigned bytes) { r.audio_chunk_bytes = bytes; }
  static std::atomic<bool>& stop_requested(recorder& r) { return r.stop_requested_; }
  static std::atomic<bool>& sound_closed(recorder& r) { return r.sound_closed; }
  static std::atomic<bool>& failed(recorder& r) { return r.failed; }

  // `f(video_queue, audio_queue)` with the queues locked.
  template <class F>
  static auto with_queues(recorder& r, F&& f) {
    QMutexLocker lock(&r.queue_mutex);
    return f(std::as_const(r.video_queue), std::as_const(r.audio_queue));
  }
  static size_t queued_frames(recorder& r) {
    QMutexLocker lock(&r.queue_mutex);
    return r.video_queue.size();
  }
  static size_t queued_chunks(recorder& r) {
    QMutexLocker lock(&r.queue_mutex);
    return r.audio_queue.size();
  }
  // Frames that came and wait in the queue (the repeats not counted).
  static size_t frames_that_came_queued(recorder& r) {
    QMutexLocker lock(&r.queue_mutex);
    return size_t(r.frame_arrivals.size());
  }
  // The sound short of a whole chunk (the thread that hands sound over).
  static QByteArray pending_audio(const recorder& r) { return r.pending_audio; }
  static void drop_pending_audio(recorder& r) { r.pending_audio.clear(); }

  // Each frame write takes at least `ms` from now on (a slow disk).
  static void slow_writes(recorder& r, int ms) { r.slow_write_ms = ms; }
};
