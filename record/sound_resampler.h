// Resamples interleaved 16-bit sound by a ratio a hair away from 1 (a few
// hundred ppm), smoothly changed from block to block: band-limited
// interpolation with a 32-tap Kaiser-windowed sinc, interpolated between 256
// phases, as FFmpeg's resampler does by default.
//
// Every output sample is taken at a known input position, so the resampler
// can say exactly where the next input sample will come out. At a ratio of
// exactly 1 on whole positions (the start, before any change) it copies the
// input unchanged.
//
// With no sample data (null pointers) it only counts: positions advance as
// they would, which lets hours of a recording run in simulated time.
#pragma once

#include <cstdint>
#include <vector>

class sound_resampler {
 public:
  static constexpr int taps = 32;
  static constexpr int phases = 256;

  explicit sound_resampler(int channels = 2);

  // Output samples per input sample from now on (1 + delta / distance).
  void set_ratio(double ratio);
  double ratio() const { return 1.0 / step_; }

  // Takes `frames` input frames (interleaved, `channels` samples each; null
  // to count only) and appends what can be produced to `out` (null to count
  // only). Returns the frames produced.
  int64_t push(const int16_t* in, int64_t frames, std::vector<int16_t>* out);
  // Produces what is still held, as if silence followed.
  int64_t flush(std::vector<int16_t>* out);

  // Input frames taken and output frames produced so far.
  int64_t consumed() const { return consumed_; }
  int64_t produced() const { return produced_; }
  // The output index at which the next input frame will come out.
  double next_output_position() const;

 private:
  int64_t produce(int64_t available_end, std::vector<int16_t>* out);
  void interpolate(int64_t index, double fraction, int16_t* out) const;
  void drop_history();

  int channels_;
  double step_ = 1.0;  // input positions per output sample
  // The next output sample is taken at input position whole_ + fraction_.
  int64_t whole_ = 0;
  double fraction_ = 0.0;
  int64_t consumed_ = 0;
  int64_t produced_ = 0;
  // Input history: frames from history_start_ on, interleaved.
  std::vector<int16_t> history_;
  int64_t history_start_ = 0;
  bool counting_ = false;  // no samples were given: positions only
};
