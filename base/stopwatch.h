// Millisecond timer over the monotonic high-resolution clock. Every thread
// times its work with its own; a stopwatch is never shared between threads.
#pragma once

#include <chrono>
#include <cstdint>

// The steady clock in nanoseconds: the time stamps that travel with fields,
// frames and sound between threads.
inline int64_t steady_clock_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class stopwatch {
 public:
  stopwatch();

  void start();
  // Milliseconds since the start mark; the start mark stays.
  double elapsed();
  // Like elapsed(), then the start mark moves to now, so laps add up to the
  // total without a gap.
  double lap();

 private:
  using clock = std::chrono::steady_clock;
  static int64_t now_ticks();

  int64_t frequency;   // ticks per second
  int64_t start_mark;  // counter at the last start() or lap()
  int64_t last_reading;
};
