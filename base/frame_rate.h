// A picture rate as the television standards give it: a ratio of whole
// numbers, so that the counts a recording keeps over hours (five hours of
// frames, the samples of sound that go with each frame) come out exact.
// PAL is 25 frames a second; NTSC and PAL-60 are 30000/1001.
#pragma once

#include <cstdint>

struct frame_rate {
  int64_t numerator = 25;
  int64_t denominator = 1;

  constexpr double per_second() const { return double(numerator) / double(denominator); }
  // One frame's length.
  constexpr double period_ms() const { return 1000.0 * double(denominator) / double(numerator); }
  constexpr double period_ns() const { return 1e9 * double(denominator) / double(numerator); }
  // Whole frames in `seconds`.
  constexpr int64_t frames_in_seconds(int64_t seconds) const { return seconds * numerator / denominator; }
  // Sample frames of sound at `sample_rate` that the first `frames` frames
  // last, to the nearest (1920 a frame at 25, 1601.6 at 30000/1001): the
  // fraction is carried, never added up.
  constexpr int64_t samples_for_frames(int64_t frames, int sample_rate) const {
    return (2 * frames * sample_rate * denominator + numerator) / (2 * numerator);
  }
  // Sample frames of sound a frame lasts.
  constexpr double samples_per_frame(int sample_rate) const {
    return double(sample_rate) * double(denominator) / double(numerator);
  }

  bool operator==(const frame_rate&) const = default;
};

inline constexpr frame_rate pal_frame_rate{25, 1};
inline constexpr frame_rate sixty_hz_frame_rate{30000, 1001};
