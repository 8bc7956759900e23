// What the capture thread tells about its stream, from the assembler's
// totals over made-up time.
#include "capture/stream_health.h"

#include <gtest/gtest.h>

namespace {

using state = stream_health::state;

TEST(stream_health, fields_flow_then_stop_then_come_back) {
  stream_health h;
  h.start(0, 0, 0);
  uint64_t complete = 0;
  double t = 0;
  for (; t < 2000; t += 20) h.update(t, ++complete, 0);
  EXPECT_EQ(h.current(), state::flowing);
  EXPECT_FALSE(h.stalled(t));
  // Nothing for a while: told after a second, counted in whole seconds.
  const double last = t - 20;
  EXPECT_FALSE(h.update(last + 900, complete, 0));
  EXPECT_EQ(h.current(), state::flowing) << "a hiccup is not told";
  EXPECT_TRUE(h.update(last + 1000, complete, 0));
  EXPECT_EQ(h.current(), state::no_fields);
  EXPECT_EQ(h.count(), 1u);
  EXPECT_FALSE(h.update(last + 1500, complete, 0));
  EXPECT_TRUE(h.update(last + 2000, complete, 0));
  EXPECT_EQ(h.count(), 2u);
  EXPECT_FALSE(h.stalled(last + 2999));
  EXPECT_TRUE(h.stalled(last + 3000));
  // Programmed again: the silence goes on counting, the next programming
  // waits its own time.
  h.resume(last + 3100, complete, 0);
  EXPECT_FALSE(h.stalled(last + 3200));
  EXPECT_TRUE(h.update(last + 5000, complete, 0));
  EXPECT_EQ(h.count(), 5u);
  EXPECT_TRUE(h.stalled(last + 6100));
  EXPECT_TRUE(h.update(last + 5020, complete + 1, 0));
  EXPECT_EQ(h.current(), state::flowing);
  EXPECT_EQ(h.count(), 0u);
}

TEST(stream_health, every_field_discarded_is_a_damaged_stream_with_its_count) {
  stream_health h;
  h.start(0, 10, 0);
  uint64_t discarded = 0;
  double t = 0;
  for (; t <= 3000; t += 20) h.update(t, 10, ++discarded);
  EXPECT_EQ(h.current(), state::damaged);
  EXPECT_NEAR(double(h.count()), 50.0, 1.0) << "fields discarded in the last second";
  // A stick that sends nothing at all is not damaged.
  stream_health quiet;
  quiet.start(0, 0, 0);
  quiet.update(1500, 0, 0);
  EXPECT_EQ(quiet.current(), state::no_fields);
  // Some whole fields among the damaged ones: the picture goes on.
  stream_health partly;
  partly.start(0, 0, 0);
  for (double u = 0; u <= 3000; u += 20) partly.update(u, uint64_t(u / 40), uint64_t(u / 40));
  EXPECT_EQ(partly.current(), state::flowing);
}

TEST(stream_health, a_fresh_start_waits_its_second) {
  stream_health h;
  h.start(10000, 0, 0);
  EXPECT_FALSE(h.update(10500, 0, 0));
  EXPECT_EQ(h.current(), state::flowing);
  EXPECT_TRUE(h.update(11000, 0, 0));
  EXPECT_EQ(h.current(), state::no_fields);
  // Back after being pulled out: counted from the new start.
  h.start(20000, 0, 0);
  EXPECT_TRUE(h.update(20100, 1, 0));
  EXPECT_EQ(h.current(), state::flowing);
}

}  // namespace
