// Where each field start lies on the bus, and how many of the stick's field
// periods went by since the one before it.
//
// Fields are numbered by their start packets; a field whose start packet, or
// whose whole transfer, never arrived leaves no mark in that count. Time
// shows it: the stick's field clock is steady, so a field start that comes a
// whole period after the one expected says that fields were lost before it.
//
// When a reaped transfer was on the bus is estimated from the reaps and the
// submissions: transfers queued back to back follow each other at one
// microframe per packet, a transfer cannot end before its own bus time after
// it was queued, and it cannot end after it was reaped. Reaps come late when
// the computer is busy; the lower envelope of the reap times, kept from
// climbing faster than the bus, is not disturbed by that. A field start is
// placed at its packet's microframe in its transfer.
//
// The field period is estimated from the starts over stretches of 256
// periods, within 1500 ppm of the nominal one (the stick's crystal is within
// 1000 ppm of the computer's); a smoothed phase follows the starts between.
// Free of Qt and USB so it can be tested with made-up times.
#pragma once

#include <cstdint>

class field_clock {
 public:
  static constexpr int64_t microframe_ns = 125000;
  static constexpr double max_ppm = 1500.0;
  // How much faster than the bus the estimate may move between two reaps:
  // enough to catch up within a second when the bus went on without a
  // transfer queued and the reaps showed it only later (a submission that
  // reached the host controller late), little enough that the burst of late
  // reaps after a stall (at most the transfers queued) moves it by 4 ms at
  // most.
  static constexpr int64_t catch_up_ns = 60000;
  static constexpr int64_t period_baseline = 256;

  // A new streaming run, with fields nominal_period_ns apart.
  void start(double nominal_period_ns);

  // A transfer of `packets` microframes, queued at submit_ns, reaped at
  // reap_ns (steady clock), in the order they were queued. Places it on
  // the bus.
  void transfer_reaped(int64_t submit_ns, int64_t reap_ns, int packets);
  // When packet k of the last transfer placed began on the bus.
  int64_t packet_ns(int k) const { return end_ns_ - int64_t(packets_ - k) * microframe_ns; }

  // A field started at at_ns. Returns the field periods since the last
  // start: 1 when no field was lost, n + 1 when n never came, 0 for a start
  // less than half a period after the last, which cannot be a field's
  // (a damaged header).
  int field_started(int64_t at_ns);

  double period_ns() const { return period_ns_; }

 private:
  double nominal_ns_ = 20e6;
  double period_ns_ = 20e6;
  bool placed_ = false;  // a transfer was placed in this run
  int64_t end_ns_ = 0;   // when the last transfer placed ended on the bus
  int packets_ = 0;
  bool started_ = false;  // a field start was seen in this run
  double phase_ns_ = 0;   // when the last field started, smoothed
  // Where the stretch the period is measured over began, and its periods.
  double anchor_ns_ = 0;
  int64_t since_anchor_ = 0;
};
