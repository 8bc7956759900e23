// The recording's sound against its picture over hours, in simulated time:
// frames and sound blocks from two clocks apart by up to 1000 ppm, both
// arriving with 20 ms of jitter, go through the sound path the encoder
// uses; the simulation knows which frame each sample was captured with and
// checks where the sample lands in the file.
#include "record/sound_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/support/av_clock_sim.h"

namespace {

struct drift_result {
  double start_ms = 0.0;         // the offset at the first second
  double worst_ms = 0.0;         // the largest departure from it, after `from`
  double worst_before_ms = 0.0;  // ... and before it
  double final_ms = 0.0;
  int64_t silences = 0, cuts = 0;
  int64_t frames = 0;
  double ppm = 0.0;
};

// Runs the sound path over sim; departures are split at time `from`.
drift_result run(const av_clock_sim& sim, double from = 0.0) {
  const double samples_per_frame = sim.sample_rate / sim.frame_rate;
  sound_path path(samples_per_frame, sim.sample_rate);
  drift_result r;
  bool started = false;
  // As the encoder: the file's position of each frame, and repeats for
  // frames found lost; the frames lost before a stick frame, less the
  // repeats, move it in the file.
  sim.run(
      [&](int64_t frame, double arrival) {
        path.sync.picture(frame, arrival);
        ++r.frames;
      },
      [&](int64_t first, int64_t count, int64_t lost_before, double arrival) {
        // Positions count what arrived; the device's own count includes what was lost.
        const int64_t received = first - lost_before;
        path.sync.sound(received + count, arrival);
        // Where the first sample of the block lands against its picture.
        const double landed = path.next_output() - double(path.consumed() - received);
        const double picture = samples_per_frame * sim.frame_at(sim.sample_time(double(first)));
        const double offset_ms = (landed - picture) / sim.sample_rate * 1000.0;
        const double t = sim.sample_time(double(first));
        if (!started && t >= 1.0) {
          started = true;
          r.start_ms = offset_ms;
        }
        if (started) {
          const double departure = std::abs(offset_ms - r.start_ms);
          double& worst = t >= from ? r.worst_ms : r.worst_before_ms;
          worst = std::max(worst, departure);
          r.final_ms = offset_ms - r.start_ms;
        }
        path.take(nullptr, count, nullptr);
      });
  r.silences = path.sync.silences;
  r.cuts = path.sync.cuts;
  r.ppm = path.sync.clock_difference_ppm();
  return r;
}

TEST(sound_sync, five_hours_at_any_clock_difference_stay_within_5_ms_without_a_cut) {
  for (const double ppm : {-1000.0, -300.0, 0.0, 300.0, 1000.0}) {
    SCOPED_TRACE(testing::Message() << ppm << " ppm");
    av_clock_sim sim;
    sim.seconds = 5 * 3600.0;
    sim.picture_ppm = ppm;
    sim.sound_ppm = -ppm / 4;  // both off true time
    sim.seed = uint32_t(1000 + ppm);
    const drift_result r = run(sim);
    EXPECT_LE(r.worst_ms, 5.0) << "final " << r.final_ms << " ms";
    EXPECT_EQ(r.silences, 0);
    EXPECT_EQ(r.cuts, 0);
    // The sound's clock against the picture's.
    const double expected = ((1.0 - ppm / 4 * 1e-6) / (1.0 + ppm * 1e-6) - 1.0) * 1e6;
    EXPECT_NEAR(r.ppm, expected, 20.0);
    EXPECT_GT(r.frames, int64_t(5 * 3600 * 25 * 0.998));
  }
}

TEST(sound_sync, a_sound_server_stall_is_padded_once_and_the_offset_comes_back) {
  for (const double ppm : {-300.0, 300.0}) {
    SCOPED_TRACE(testing::Message() << ppm << " ppm");
    av_clock_sim sim;
    sim.seconds = 1800.0;
    sim.picture_ppm = ppm;
    sim.stall_at = 600.0;
    sim.stall_seconds = 0.5;
    // Within a few seconds of the stall all is back in place.
    const drift_result r = run(sim, sim.stall_at + 5.0);
    EXPECT_EQ(r.silences, 1);
    EXPECT_EQ(r.cuts, 0);
    EXPECT_LE(r.worst_ms, 5.0);
    EXPECT_LE(std::abs(r.final_ms), 5.0);
  }
}

// The recording counts its frame periods by the picture's own clock: over
// an hour of a slow or fast field clock, with jitter, it stays on the frames
// that really came.
TEST(sound_sync, the_picture_clock_counts_the_frames_that_came) {
  for (const double ppm : {-1000.0, 1000.0}) {
    SCOPED_TRACE(testing::Message() << ppm << " ppm");
    av_clock_sim sim;
    sim.seconds = 3600.0;
    sim.picture_ppm = ppm;
    sound_sync sync(1920.0);
    double worst = 0.0;
    sim.run(
        [&](int64_t frame, double arrival) {
          if (sync.picture_known())
            worst = std::max(worst, std::abs(sync.picture_position_at(arrival) - double(frame)));
          sync.picture(frame, arrival);
        },
        [](int64_t, int64_t, int64_t, double) {});
    EXPECT_TRUE(sync.picture_known());
    EXPECT_LT(worst, 1.0) << "frames off the picture's count";
  }
}

TEST(sound_sync, sound_that_comes_late_in_a_burst_is_no_jump) {
  // The server holds the sound for half a second and then delivers all of
  // it: nothing is lost, so nothing is padded or cut.
  av_clock_sim sim;
  sim.seconds = 600.0;
  sim.picture_ppm = 200.0;
  sim.stall_at = 300.0;
  sim.stall_seconds = 0.5;
  sim.stall_loses = false;
  const drift_result r = run(sim);
  EXPECT_EQ(r.silences, 0);
  EXPECT_EQ(r.cuts, 0);
  EXPECT_LE(r.worst_ms, 10.0);
}

// The resampler: a ratio of exactly 1 copies; any other ratio keeps a sine
// a sine (no clicks where the ratio changes) and makes as many samples as
// the ratio says, and says where the next input comes out.
TEST(sound_resampler, copies_at_ratio_one_and_resamples_cleanly_otherwise) {
  sound_resampler copy;
  std::vector<int16_t> in(2 * 4000), out;
  for (size_t i = 0; i < in.size(); ++i) in[i] = int16_t(i * 7919 % 65536 - 32768);
  copy.push(in.data(), 1000, &out);
  copy.push(in.data() + 2000, 3000, &out);
  copy.flush(&out);
  EXPECT_EQ(out, in);

  sound_resampler r;
  constexpr double pi = 3.14159265358979323846;
  const int total = 48000 * 4;
  auto tone = [&](double position) { return 16000 * std::sin(2 * pi * 1000 * position / 48000.0); };
  std::vector<int16_t> sine(size_t(2 * total));
  for (int i = 0; i < total; ++i) sine[size_t(2 * i)] = sine[size_t(2 * i + 1)] = int16_t(std::lround(tone(i)));
  std::vector<int16_t> resampled;
  // The input position of every output sample: each block's outputs step
  // by the ratio in force while it was pushed.
  std::vector<double> positions;
  double position = 0.0, expected = 0.0;
  const double ratios[] = {1.002, 0.998, 1.0005, 1.0};
  for (int second = 0; second < 4; ++second) {
    r.set_ratio(ratios[second]);
    for (int block = 0; block < 100; ++block) {
      const int64_t made = r.push(sine.data() + size_t(2 * (second * 48000 + block * 480)), 480, &resampled);
      for (int64_t k = 0; k < made; ++k, position += 1.0 / ratios[second]) positions.push_back(position);
      expected += 480 * ratios[second];
    }
    EXPECT_NEAR(r.next_output_position(), expected, 1.0);
  }
  ASSERT_EQ(positions.size(), resampled.size() / 2);
  // Against the tone at each position: far below audibility everywhere,
  // where the ratio changes too.
  double worst = 0.0;
  for (size_t j = 0; j < positions.size(); ++j)
    if (positions[j] > 32) worst = std::max(worst, std::abs(resampled[2 * j] - tone(positions[j])));
  EXPECT_LT(worst, 20.0) << "about -58 dB against the tone";
}

TEST(sound_resampler, counting_only_advances_as_resampling_does) {
  sound_resampler real, counted;
  std::vector<int16_t> in(2 * 1000, 100), out;
  for (int k = 0; k < 500; ++k) {
    const double ratio = 1.0 + 0.0015 * std::sin(k / 30.0);
    real.set_ratio(ratio);
    counted.set_ratio(ratio);
    const int64_t a = real.push(in.data(), 100 + k % 700, &out);
    const int64_t b = counted.push(nullptr, 100 + k % 700, nullptr);
    ASSERT_EQ(a, b) << "block " << k;
  }
  EXPECT_DOUBLE_EQ(real.next_output_position(), counted.next_output_position());
}

}  // namespace
