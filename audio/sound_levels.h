// The levels of the sound the recorder takes, as the meters show them: per
// channel the peak, the RMS, the peak hold, clipping, and whether the channel
// carries any sound at all. Reads 48 kHz stereo signed 16-bit little-endian
// PCM in blocks of any size, a frame cut in two by a block's end included.
//
// Time is the sound's own: 48000 frames are a second, whatever the clock
// says. The frames are summed in slices of 10 ms; each figure is taken over
// the slice being filled and the whole slices before it:
//   peak   the highest sample of the last 40-50 ms (longer than one update
//          of the meters, so no peak falls between two updates);
//   RMS    over the last 290-300 ms;
//   hold   the highest peak of the last 1.49-1.5 s: a peak stays up for
//          1.5 s, then the hold falls back to what the sound does now;
//   clip   a sample at -0.1 dBFS or above (|s| >= 32393) was seen; it stays
//          until clear_clips();
//   no sound  the last 300 ms held nothing above -90 dBFS: only samples of
//          0 and +-1 (digital silence, or its last bit dithered).
// Full scale, 32768, is 0 dBFS. No GUI, no clock, no thread of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class sound_levels {
 public:
  static constexpr int channels = 2;
  static constexpr int frame_bytes = 4;
  static constexpr int frames_per_second = 48000;
  static constexpr int slice_frames = frames_per_second / 100;  // 10 ms
  static constexpr int peak_slices = 5;                         // 40-50 ms
  static constexpr int rms_slices = 30;                         // 290-300 ms
  static constexpr int hold_slices = 150;                       // 1.49-1.5 s
  static constexpr int clip_sample = 32393;                     // -0.1 dBFS
  static constexpr double floor_db = -90.0;

  struct channel_level {
    // dBFS; minus infinity for digital silence.
    double peak_db;
    double rms_db;
    double hold_db;
    bool clipped;
    bool no_sound;
    bool operator==(const channel_level&) const = default;
  };
  using reading = std::array<channel_level, channels>;

  sound_levels();

  // The next `size` bytes of the sound. A partial frame at the end waits for
  // the next block; nothing past `size` is read.
  void add(const void* data, size_t size);
  // No block has come for a while (the input stopped or went away): both
  // channels have no sound until the next one. The clip marks stay.
  void nothing_came();
  void clear_clips();
  // The figures now.
  reading levels() const;

 private:
  struct slice {
    std::array<int, channels> peak{};
    std::array<int64_t, channels> squares{};
  };
  static constexpr int kept_slices = hold_slices;

  void add_frames(const unsigned char* frames, size_t count);

  // Ring of slices: `current_` is being filled, the ones before it in order.
  std::array<slice, kept_slices> slices_{};
  int current_ = 0;
  int current_frames_ = 0;
  // Whole slices seen since the start or since nothing_came(), up to what the
  // ring keeps: the RMS is taken over the frames there were.
  int whole_slices_ = 0;
  std::array<bool, channels> clipped_{};
  // The bytes of a frame a block's end cut.
  std::array<unsigned char, frame_bytes> partial_{};
  int partial_size_ = 0;
};
