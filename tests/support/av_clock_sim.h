// Two capture clocks in simulated time: the picture's frames and the
// sound's blocks, each from its own clock set off true time by some ppm, and
// each arriving with the jitter of a busy computer. A recorder under test
// gets the arrivals in time order; the simulation knows, for every sample,
// the true time it was captured, and so which frame it belongs with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>

struct av_clock_sim {
  double seconds = 3600.0;
  double frame_rate = 25.0;
  double sample_rate = 48000.0;
  double picture_ppm = 0.0;  // the picture's clock against true time
  double sound_ppm = 0.0;    // the sound's
  double jitter = 0.020;     // each arrival late by up to this, at random
  double picture_latency = 0.030;
  double sound_latency = 0.060;
  int min_block = 480, max_block = 1440;  // sound blocks of 10 to 30 ms
  // The sound server stalls at this time for this long; what the device
  // captured meanwhile is lost, or (stall_loses false) comes all at once
  // when the stall ends.
  double stall_at = -1.0, stall_seconds = 0.0;
  bool stall_loses = true;
  uint32_t seed = 1;

  // True capture time of sample i and of frame k.
  double sample_time(double i) const { return i / (sample_rate * (1.0 + sound_ppm * 1e-6)); }
  double frame_time(double k) const { return k / (frame_rate * (1.0 + picture_ppm * 1e-6)); }
  // The frame captured at true time t.
  double frame_at(double t) const { return t * frame_rate * (1.0 + picture_ppm * 1e-6); }

  // Calls on_frame(k, arrival) and on_sound(first, count, lost_before,
  // arrival) in arrival order: `first` and `count` number the samples as
  // the device captured them; `lost_before` is how many of those before
  // `first` never arrived.
  void run(const std::function<void(int64_t, double)>& on_frame,
           const std::function<void(int64_t, int64_t, int64_t, double)>& on_sound) const {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> late(0.0, jitter);
    std::uniform_int_distribution<int> block(min_block, max_block);
    int64_t frame = 0, sample = 0, lost = 0;
    double frame_arrival = 0.0, sound_arrival = 0.0;
    auto next_frame = [&] {
      frame_arrival = std::max(frame_arrival, frame_time(double(frame + 1)) + picture_latency + late(random));
    };
    int64_t count = block(random);
    auto next_sound = [&] {
      sound_arrival = std::max(sound_arrival, sample_time(double(sample + count)) + sound_latency + late(random));
    };
    next_frame();
    next_sound();
    while (std::min(frame_arrival, sound_arrival) < seconds) {
      if (frame_arrival <= sound_arrival) {
        on_frame(frame++, frame_arrival);
        next_frame();
        continue;
      }
      const double captured = sample_time(double(sample));
      if (stall_at >= 0 && captured >= stall_at && captured < stall_at + stall_seconds) {
        if (stall_loses) {
          // Captured while the server stood still: gone.
          lost += count;
        } else {
          sound_arrival = std::max(sound_arrival, stall_at + stall_seconds + sound_latency);
          on_sound(sample, count, lost, sound_arrival);
        }
      } else {
        on_sound(sample, count, lost, sound_arrival);
      }
      sample += count;
      count = block(random);
      next_sound();
    }
  }
};
