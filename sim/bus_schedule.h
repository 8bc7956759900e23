// When the stick's isochronous packets are on the bus.
//
// The stick's microframes follow its own field clock: 125 us each from a
// crystal that may run fast or slow by some parts per million, so a
// microframe takes 125 us / (1 + ppm * 1e-6) of real time. Transfers queued
// one after another on the endpoint take one microframe per packet; when the
// endpoint goes idle the microframes go on without it, on the same grid.
//
// Times are nanoseconds of CLOCK_MONOTONIC (std::chrono::steady_clock). A
// microframe's start is computed from the schedule's origin and its number,
// never summed up step by step, so it stays exact over hours.
#pragma once

#include <cmath>
#include <cstdint>

class bus_schedule {
 public:
  static constexpr double nominal_microframe_ns = 125000.0;
  static constexpr double max_ppm = 1000.0;

  explicit bus_schedule(double ppm = 0.0) { set_ppm(ppm); }

  // Takes effect from the next restart.
  void set_ppm(double ppm) { period_ns_ = nominal_microframe_ns / (1.0 + ppm * 1e-6); }
  double period_ns() const { return period_ns_; }

  struct slot {
    int64_t start_ns = 0;         // the first packet's microframe begins
    uint64_t first = 0;           // the first packet's microframe, counted from the schedule's start
    int64_t end_ns = 0;           // the last packet's microframe is over
    uint64_t skipped = 0;         // microframes that went by with nothing queued
    int64_t skipped_from_ns = 0;  // where the first of them began
  };

  // A transfer of `packets` packets queued at now_ns: it follows the one
  // before it, or when the endpoint went idle, starts at the last
  // microframe boundary at or before now.
  slot queue(int64_t now_ns, int packets) {
    slot s;
    if (!running_) {
      running_ = true;
      origin_ns_ = now_ns;
      next_ = 0;
    } else if (now_ns > time_of(next_)) {
      s.skipped_from_ns = time_of(next_);
      s.skipped = uint64_t(double(now_ns - s.skipped_from_ns) / period_ns_);
      next_ += s.skipped;
    }
    s.start_ns = time_of(next_);
    s.first = next_;
    next_ += uint64_t(packets > 0 ? packets : 0);
    s.end_ns = time_of(next_);
    return s;
  }

  // The endpoint's schedule ends (the stick went away): the next transfer
  // starts a new one.
  void stop() { running_ = false; }
  bool running() const { return running_; }

  // When a microframe, counted from the schedule's start, begins.
  int64_t microframe_ns(uint64_t microframe) const { return time_of(microframe); }

  // Where packet k of a transfer that starts at start_ns begins.
  int64_t packet_start(int64_t start_ns, uint64_t k) const {
    return start_ns + int64_t(std::llround(double(k) * period_ns_));
  }

 private:
  int64_t time_of(uint64_t microframe) const {
    return origin_ns_ + int64_t(std::llround(double(microframe) * period_ns_));
  }

  double period_ns_ = nominal_microframe_ns;
  bool running_ = false;
  int64_t origin_ns_ = 0;
  uint64_t next_ = 0;  // the first microframe not yet given to a transfer
};
