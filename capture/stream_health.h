// Watches the fields a streaming run assembles and says what the person
// should be told: fields flow; none has come for a while (the stick sends
// nothing); or packets come but every field is incomplete (a damaged
// stream). Fed with the assembler's running totals and the time; free of Qt
// and of USB so it can be tested with made-up times.
#pragma once

#include <cstdint>

class stream_health {
 public:
  enum class state { flowing, no_fields, damaged };

  // A notice before this long would only flicker: a run's first field, or a
  // hiccup, takes a good part of it.
  static constexpr double notice_after_ms = 1000.0;
  // No field for this long: the stick is programmed again.
  static constexpr double reprogram_after_ms = 3000.0;

  // The first run on a stick (at start, or when it is back after being
  // pulled out) starts at now_ms with these totals.
  void start(double now_ms, uint64_t complete, uint64_t discarded);
  // A run after the stick was programmed again: the time since the last
  // field goes on counting.
  void resume(double now_ms, uint64_t complete, uint64_t discarded);
  // True when the state or its count changed.
  bool update(double now_ms, uint64_t complete, uint64_t discarded);

  state current() const { return state_; }
  // no_fields: whole seconds without a field; damaged: fields discarded in
  // the last second; flowing: 0.
  unsigned count() const { return count_; }
  // No field for reprogram_after_ms since the run started or the last field.
  bool stalled(double now_ms) const {
    return now_ms - (last_field_ms_ > run_start_ms_ ? last_field_ms_ : run_start_ms_) >= reprogram_after_ms;
  }

 private:
  double last_field_ms_ = 0.0;
  double run_start_ms_ = 0.0;
  uint64_t complete_ = 0;
  // The discarded total at the start of the current one-second window, and
  // how many the window before it counted.
  double window_start_ms_ = 0.0;
  uint64_t window_discarded_ = 0;
  uint64_t discarded_last_second_ = 0;
  state state_ = state::flowing;
  unsigned count_ = 0;
};
