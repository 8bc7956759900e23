#include "base/stopwatch.h"

static_assert(std::chrono::steady_clock::is_steady);

stopwatch::stopwatch()
    : frequency(int64_t(std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num)),
      start_mark(now_ticks()),  // a stopwatch read before start() counts from construction
      last_reading(start_mark) {}

int64_t stopwatch::now_ticks() { return int64_t(clock::now().time_since_epoch().count()); }

void stopwatch::start() { start_mark = now_ticks(); }

double stopwatch::elapsed() {
  last_reading = now_ticks();
  return double(static_cast<long double>(last_reading - start_mark) / static_cast<long double>(frequency) * 1000.0L);
}

double stopwatch::lap() {
  const double ms = elapsed();
  start_mark = last_reading;
  return ms;
}
