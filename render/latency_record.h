// How long pictures take from the stick to the display: a histogram of
// latencies in 0.1 ms steps up to two seconds (longer ones count in the last
// step). One thread adds, any thread reads; reading while adding gives a
// figure a sample or two out of date, never a torn one.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class latency_record {
 public:
  void add(double ms) {
    int bin = ms <= 0.0 ? 0 : int(ms * 10.0);
    if (bin >= bins) bin = bins - 1;
    counts_[size_t(bin)].fetch_add(1, std::memory_order_relaxed);
    total_.fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t count() const { return total_.load(std::memory_order_relaxed); }
  // The latency below which the fraction `p` (0..1) of the samples lie, in
  // ms; 0 without samples.
  double percentile(double p) const {
    const uint64_t total = count();
    if (total == 0) return 0.0;
    const uint64_t wanted = uint64_t(p * double(total - 1)) + 1;
    uint64_t seen = 0;
    for (int i = 0; i < bins; ++i) {
      seen += counts_[size_t(i)].load(std::memory_order_relaxed);
      if (seen >= wanted) return (i + 0.5) / 10.0;
    }
    return (bins - 0.5) / 10.0;
  }
  void reset() {
    for (auto& c : counts_) c.store(0, std::memory_order_relaxed);
    total_.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr int bins = 20000;
  std::array<std::atomic<uint32_t>, bins> counts_{};
  std::atomic<uint64_t> total_{0};
};
