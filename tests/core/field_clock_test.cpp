// The field clock with made-up times: fields lost are counted by their
// periods whatever the stick's clock and the reaps' jitter, and late reaps
// do not move where a transfer was on the bus.
#include "capture/field_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

namespace {

// Deterministic jitter in [-amplitude, amplitude].
struct jitter {
  uint64_t state = 88172645463325252ull;
  int64_t next(int64_t amplitude) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return amplitude == 0 ? 0 : int64_t(state % uint64_t(2 * amplitude + 1)) - amplitude;
  }
};

TEST(field_clock, counts_the_periods_of_fields_that_never_came) {
  struct case_t {
    const char* name;
    double nominal_ns;
    double ppm;
    int64_t jitter_ns;
  };
  const case_t cases[] = {
      {"PAL, 1000 ppm fast, 3 ms jitter", 20e6, 1000, 3000000},
      {"PAL, 1000 ppm slow, 3 ms jitter", 20e6, -1000, 3000000},
      {"NTSC, 1000 ppm fast, 3 ms jitter", 1001e6 / 60, 1000, 3000000},
      {"NTSC, 1000 ppm slow, no jitter", 1001e6 / 60, -1000, 0},
  };
  // Single fields, pairs, and a stall of half a second.
  const std::set<int> lost = {10,  40,  41,  100, 101, 102, 300, 500, 501, 502, 503, 504, 505, 506, 507, 508,  509,
                              510, 511, 512, 513, 514, 515, 516, 517, 518, 519, 520, 521, 522, 523, 524, 1000, 1999};
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.name);
    field_clock clock;
    clock.start(c.nominal_ns);
    const double period = c.nominal_ns / (1.0 + c.ppm * 1e-6);
    jitter j;
    int last = -1;
    int wrong = 0;
    for (int i = 0; i < 3000; ++i) {
      if (lost.count(i)) continue;
      const int64_t t = int64_t(1e12 + i * period) + j.next(c.jitter_ns);
      const int periods = clock.field_started(t);
      if (periods != (last < 0 ? 1 : i - last) && ++wrong <= 5)
        ADD_FAILURE() << "field " << i << " after " << last << ": " << periods << " periods";
      last = i;
      // A damaged header that claims a start within the field counts no period.
      if (i % 97 == 0) {
        EXPECT_EQ(clock.field_started(t + int64_t(period * 0.3)), 0) << "field " << i;
      }
    }
    EXPECT_NEAR(clock.period_ns(), period, c.nominal_ns * 300e-6) << "the stick's period is found";
  }
}

TEST(field_clock, late_reaps_do_not_move_a_transfer_on_the_bus) {
  constexpr int64_t transfer_ns = 16 * field_clock::microframe_ns;
  field_clock clock;
  clock.start(20e6);
  jitter j;
  // 64 transfers queued back to back; the thread that reaps them is held up
  // for 100 ms now and then (less than is queued), and otherwise comes up
  // to 4 ms late.
  const int64_t origin = int64_t(1e12);
  int64_t reaper = origin;  // when the reaping thread is free again
  for (int n = 0; n < 5000; ++n) {
    const int64_t end = origin + (n + 1) * transfer_ns;
    if (n % 700 == 350) reaper = end + 100000000;
    reaper = std::max(reaper, end) + std::abs(j.next(4000000)) / 16;
    clock.transfer_reaped(n < 64 ? origin : end - 64 * transfer_ns, reaper, 16);
    ASSERT_NEAR(double(clock.packet_ns(0)), double(end - transfer_ns), 4e6) << "transfer " << n;
  }
  // The queue ran dry for 50 ms: the next transfer was queued late, and its
  // bus time starts when it was queued.
  const int64_t queued = origin + 5000 * transfer_ns + 50000000;
  clock.transfer_reaped(queued, queued + transfer_ns + 3000000, 16);
  EXPECT_NEAR(double(clock.packet_ns(0)), double(queued), 0.2e6);
}

}  // namespace
