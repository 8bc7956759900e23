#include "capture/field_clock.h"

#include <algorithm>
#include <cmath>

void field_clock::start(double nominal_period_ns) {
  nominal_ns_ = nominal_period_ns;
  period_ns_ = nominal_period_ns;
  placed_ = false;
  started_ = false;
}

void field_clock::transfer_reaped(int64_t submit_ns, int64_t reap_ns, int packets) {
  const int64_t bus_ns = int64_t(packets) * microframe_ns;
  // Right after the one before it, unless it was reaped sooner than that;
  // never before it could have been on the bus (the queue ran dry and the
  // bus went on without it).
  int64_t end = placed_ ? std::min(reap_ns, end_ns_ + bus_ns + catch_up_ns) : reap_ns;
  end = std::max(end, submit_ns + bus_ns);
  end_ns_ = end;
  packets_ = packets;
  placed_ = true;
}

int field_clock::field_started(int64_t at_ns) {
  if (!started_) {
    started_ = true;
    phase_ns_ = double(at_ns);
    anchor_ns_ = phase_ns_;
    since_anchor_ = 0;
    return 1;
  }
  const double x = (double(at_ns) - phase_ns_) / period_ns_;
  if (x < 0.5) return 0;
  const double periods = std::round(x);
  const double predicted = phase_ns_ + periods * period_ns_;
  const double residual = double(at_ns) - predicted;
  if (std::abs(residual) > period_ns_ / 4) {
    // Far off the expected time (another field rate than the one
    // programmed, or a jump of the bus estimate): start again from here.
    phase_ns_ = double(at_ns);
    anchor_ns_ = phase_ns_;
    since_anchor_ = 0;
  } else {
    // The smoothed start follows the arrivals, a few ms of jitter damped.
    phase_ns_ = predicted + residual / 8;
    since_anchor_ += int64_t(periods);
    // The period over a long stretch: jitter divided by hundreds of periods.
    if (since_anchor_ >= period_baseline) {
      const double limit = nominal_ns_ * max_ppm * 1e-6;
      period_ns_ =
          std::clamp((phase_ns_ - anchor_ns_) / double(since_anchor_), nominal_ns_ - limit, nominal_ns_ + limit);
      anchor_ns_ = phase_ns_;
      since_anchor_ = 0;
    }
  }
  return int(std::min(periods, 1e6));
}
