// Sound against picture over five simulated hours, for clock differences
// from -1000 to +1000 ppm with 20 ms of jitter on both feeds: the spread of
// the sound's offset and how often sound was cut or silence inserted,
//   before: the interleave that kept the two streams' lengths equal by
//           trimming the sound queue beyond 18 chunks and filling silence
//           whenever it ran dry;
//   after:  the sound path the recorder uses now (resampled by the clocks'
//           difference, cut or padded only for jumps).
// Then the resampler's cost per hour of sound.
//
//   bench/av_drift_bench [hours]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "record/sound_resampler.h"
#include "record/sound_sync.h"
#include "tests/support/av_clock_sim.h"

namespace {

struct figures {
  double min_ms = 1e9, max_ms = -1e9;
  int64_t cuts = 0, fills = 0;
  void offset(double ms) {
    min_ms = std::min(min_ms, ms);
    max_ms = std::max(max_ms, ms);
  }
  double spread() const { return max_ms - min_ms; }
};

constexpr double samples_per_frame = 1920.0;

// Offset in ms of sound sample `first` (device count) landing at output
// index `landed`, against the frame captured with it.
double offset_ms(const av_clock_sim& sim, int64_t first, double landed) {
  return (landed - samples_per_frame * sim.frame_at(sim.sample_time(double(first)))) / 48.0;
}

figures after(const av_clock_sim& sim) {
  figures f;
  sound_path path(samples_per_frame);
  sim.run([&](int64_t frame, double at) { path.sync.picture(frame, at); },
          [&](int64_t first, int64_t count, int64_t lost, double at) {
            const int64_t received = first - lost;
            path.sync.sound(received + count, at);
            if (sim.sample_time(double(first)) >= 1.0)
              f.offset(offset_ms(sim, first, path.next_output() - double(path.consumed() - received)));
            path.take(nullptr, count, nullptr);
          });
  f.cuts = path.sync.cuts;
  f.fills = path.sync.silences;
  return f;
}

// The interleave as it was: passes every 40 ms; 250-sample chunks; a frame
// written whenever the sound written has reached its time; the sound queue
// cut to 12 chunks beyond 18; silence for every waiting frame but one when
// the sound queue is empty.
figures before(const av_clock_sim& sim) {
  figures f;
  struct chunk {
    int64_t device_first;  // -1: silence
  };
  std::deque<chunk> sound;
  int64_t frames_waiting = 0, frames_written = 0, samples_written = 0;
  int64_t pending = 0, pending_first = 0;
  double next_pass = 0.04;
  auto pass = [&] {
    while (frames_waiting > 0 && !sound.empty()) {
      const chunk c = sound.front();
      sound.pop_front();
      if (c.device_first >= 0 && sim.sample_time(double(c.device_first)) >= 1.0)
        f.offset(offset_ms(sim, c.device_first, double(samples_written)));
      samples_written += 250;
      if (double(frames_written) * samples_per_frame <= double(samples_written)) {
        ++frames_written;
        --frames_waiting;
      }
    }
    if (sound.size() > 18) {
      while (sound.size() > 12) sound.pop_front();
      ++f.cuts;
    }
    if (frames_waiting > 1 && sound.empty()) {
      for (int64_t i = 0; i < (frames_waiting - 1) * 7; ++i) sound.push_back({-1});
      ++f.fills;
    }
  };
  auto until = [&](double t) {
    while (next_pass < t) {
      pass();
      next_pass += 0.04;
    }
  };
  sim.run(
      [&](int64_t, double at) {
        until(at);
        ++frames_waiting;
      },
      [&](int64_t first, int64_t count, int64_t, double at) {
        until(at);
        if (pending == 0) pending_first = first;
        pending += count;
        int64_t at_sample = pending_first;
        while (pending >= 250) {
          sound.push_back({at_sample});
          at_sample += 250;
          pending -= 250;
        }
        pending_first = at_sample;
      });
  return f;
}

void resampler_cost() {
  std::vector<int16_t> in(2 * 480);
  for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(10000 * std::sin(double(i) * 0.05));
  std::vector<int16_t> out;
  out.reserve(4096);
  sound_resampler r;
  r.set_ratio(1.0003);
  const int blocks = 100 * 60;  // a minute of sound
  const auto start = std::chrono::steady_clock::now();
  for (int b = 0; b < blocks; ++b) {
    out.clear();
    r.push(in.data(), 480, &out);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double per_hour = seconds * 60.0;
  std::printf("resampling: %.2f s of one core per hour of sound (%.3f %% of a core)\n", per_hour,
              per_hour / 3600.0 * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 5.0;
  std::printf(
      "%.1f simulated hours, 20 ms jitter on both feeds, sound in 50 ms blocks; offsets in ms of the sound against its "
      "picture\n",
      hours);
  std::printf("%8s | %28s | %28s\n", "", "before", "after");
  std::printf("%8s | %10s %8s %8s | %10s %8s %8s\n", "ppm", "spread ms", "cuts", "fills", "spread ms", "cuts", "fills");
  for (const double ppm : {-1000.0, -300.0, -100.0, 0.0, 100.0, 300.0, 1000.0}) {
    av_clock_sim sim;
    sim.seconds = hours * 3600.0;
    sim.picture_ppm = ppm;
    // Sound in 50 ms blocks, as a sound server hands it to a program.
    sim.min_block = sim.max_block = 2400;
    const figures b = before(sim), a = after(sim);
    std::printf("%8.0f | %10.1f %8lld %8lld | %10.1f %8lld %8lld\n", ppm, b.spread(), (long long)b.cuts,
                (long long)b.fills, a.spread(), (long long)a.cuts, (long long)a.fills);
  }
  resampler_cost();
  return 0;
}
