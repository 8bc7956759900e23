// What the capture pipeline is asked for: the television standard, the
// input, the aspect the picture is shown at, and the decoder's picture
// controls. The window builds one from its preferences and hands it to the
// capture thread whole; a programming pass takes it as it is then.
#pragma once

#include "base/frame_rate.h"

enum class video_standard { ntsc, pal, pal_60 };

// The decoder's picture controls, as its registers take them: brightness
// an offset (128 neutral), contrast and saturation a gain (64 is 1.0), hue a
// signed phase (0 neutral), each in the range the kernel's saa7115 driver
// allows (docs/decoder-notes.md).
struct picture_controls {
  struct range {
    int low, high;
    constexpr int clamp(int v) const { return v < low ? low : v > high ? high : v; }
  };
  static constexpr range brightness_range{0, 255};
  static constexpr range contrast_range{0, 127};
  static constexpr range saturation_range{0, 127};
  static constexpr range hue_range{-128, 127};

  int brightness = 127;
  int contrast = 63;
  int saturation = 63;
  int hue = 0;
  bool operator==(const picture_controls&) const = default;

  // Each value brought into its range.
  constexpr picture_controls clamped() const {
    return {brightness_range.clamp(brightness), contrast_range.clamp(contrast), saturation_range.clamp(saturation),
            hue_range.clamp(hue)};
  }
};

struct capture_settings {
  // Pixels the bridge captures of each line, whatever the standard.
  static constexpr int line_pixels = 720;

  video_standard standard = video_standard::pal;
  bool s_video = false;     // else Composite
  bool widescreen = false;  // shown at 16:9, else 4:3
  picture_controls picture;

  static capture_settings for_standard(video_standard standard, bool s_video = false, bool widescreen = false) {
    capture_settings s;
    s.standard = standard;
    s.s_video = s_video;
    s.widescreen = widescreen;
    return s;
  }

  bool sixty_hz() const { return standard != video_standard::pal; }
  // Whole frames a second: 30000/1001 at 60 Hz, else 25.
  ::frame_rate rate() const { return sixty_hz() ? sixty_hz_frame_rate : pal_frame_rate; }
  bool pal_60() const { return standard == video_standard::pal_60; }
  // Lines of a frame the bridge captures; a field has half.
  int frame_lines() const { return sixty_hz() ? 480 : 576; }
  int field_lines() const { return frame_lines() / 2; }
  // Bytes of one UYVY field as the bridge sends it.
  int field_bytes() const { return line_pixels * field_lines() * 2; }
  // Half the size the picture is shown at in square pixels (the window's
  // 50% step): 384 x 288 for PAL at 4:3, 320 x 240 for 60 Hz, and the same
  // width with three quarters of the height at 16:9.
  int half_display_width() const { return sixty_hz() ? 320 : 384; }
  int half_display_height() const {
    if (sixty_hz()) return widescreen ? 180 : 240;
    return widescreen ? 216 : 288;
  }

  bool operator==(const capture_settings&) const = default;
};
