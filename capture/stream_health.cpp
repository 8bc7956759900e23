#include "capture/stream_health.h"

void stream_health::start(double now_ms, uint64_t complete, uint64_t discarded) {
  last_field_ms_ = now_ms;
  resume(now_ms, complete, discarded);
}

void stream_health::resume(double now_ms, uint64_t complete, uint64_t discarded) {
  run_start_ms_ = now_ms;
  complete_ = complete;
  window_start_ms_ = now_ms;
  window_discarded_ = discarded;
  discarded_last_second_ = 0;
}

bool stream_health::update(double now_ms, uint64_t complete, uint64_t discarded) {
  if (complete != complete_) {
    complete_ = complete;
    last_field_ms_ = now_ms;
  }
  if (now_ms - window_start_ms_ >= 1000.0) {
    discarded_last_second_ = discarded - window_discarded_;
    window_discarded_ = discarded;
    window_start_ms_ = now_ms;
  }
  const double quiet_ms = now_ms - last_field_ms_;
  state next = state::flowing;
  unsigned count = 0;
  if (quiet_ms >= notice_after_ms) {
    const uint64_t discarded_now = discarded - window_discarded_;
    if (discarded_last_second_ > 0 || discarded_now > 0) {
      next = state::damaged;
      count = unsigned(discarded_last_second_ > 0 ? discarded_last_second_ : discarded_now);
    } else {
      next = state::no_fields;
      count = unsigned(quiet_ms / 1000.0);
    }
  }
  const bool changed = next != state_ || count != count_;
  state_ = next;
  count_ = count;
  return changed;
}
