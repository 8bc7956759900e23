#include "base/stopwatch.h"

#include <gtest/gtest.h>

#include <thread>

TEST(stopwatch, elapsed_grows_and_laps_add_up_to_the_total) {
  stopwatch total;
  stopwatch laps;
  total.start();
  laps.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  const double first = laps.lap();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  const double second = laps.lap();
  const double whole = total.elapsed();
  const double again = total.elapsed();

  EXPECT_GE(first, 3.0);
  EXPECT_GE(second, 3.0);
  EXPECT_GE(again, whole);  // the start mark did not move
  // Laps leave no gap: their sum is the time since the common start, read
  // a moment later by the other stopwatch.
  EXPECT_LE(first + second, whole);
  EXPECT_GT(first + second, whole - 1.0);
  // Sub-millisecond resolution.
  stopwatch fine;
  fine.start();
  double smallest = 1.0;
  for (int i = 0; i < 100; ++i) smallest = std::min(smallest, fine.lap());
  EXPECT_LT(smallest, 0.5);
}
