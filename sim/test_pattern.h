// The virtual stick's picture: a known test pattern that tests can check
// after any stage of the pipeline.
//
// Rows, top to bottom, for a field of `lines` lines of 720 pixels:
//   [0, 2/3 lines)          eight 75 % colour bars, 90 pixels each
//   [2/3 lines, lines-16)   grey band with a 32 x 32 white box that moves
//                           4 pixels to the right every field
//   [lines-16, lines)       the data strip, 16-pixel blocks, white = 1:
//                           blocks 0..31   field number, bit 0 first
//                           block 32       the earlier field of its picture (fields
//                                          2n and 2n + 1 make picture n)
//                           blocks 33..42  what the stick was programmed with:
//                                          bits 0-3 decoder input mode, bit 4 60 Hz,
//                                          bits 5-7 colour standard, bits 8-9 channel
//                           block 43       sync mark: the first field of each second
//                                          of the stick's field clock
//
// The sync mark is on every 50th field at 50 Hz (one a second) and every
// 60th at 59.94 Hz (one every 1.001 s: whole fields, so the mark never
// wanders within a field). The stick's sound carries a click at the moment a
// marked field starts on the bus, so a recording shows how far its sound
// and picture are apart.
#pragma once

#include <array>
#include <cstdint>

namespace test_pattern {

constexpr int width = 720;
constexpr int block = 16;
constexpr int strip_lines = 16;
constexpr int bar_count = 8;
constexpr int bar_width = width / bar_count;
constexpr int box_size = 32;

struct yuv {
  uint8_t y, u, v;
};
struct rgb {
  uint8_t r, g, b;
};

// 75 % bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<yuv, bar_count> bars_yuv{{
    {180, 128, 128},
    {162, 44, 142},
    {131, 156, 44},
    {112, 72, 58},
    {84, 184, 198},
    {65, 100, 212},
    {35, 212, 114},
    {16, 128, 128},
}};
// The same bars as full-range RGB, what a BT.601 conversion gives.
constexpr std::array<rgb, bar_count> bars_rgb{{
    {191, 191, 191},
    {191, 191, 0},
    {0, 191, 191},
    {0, 191, 0},
    {191, 0, 191},
    {191, 0, 0},
    {0, 0, 191},
    {0, 0, 0},
}};
constexpr yuv band_yuv{126, 128, 128};
constexpr yuv white_yuv{235, 128, 128};
constexpr yuv black_yuv{16, 128, 128};

struct programming {
  uint8_t input_mode = 0;       // decoder 0x02 bits 3:0 (0 composite, 9 S-Video)
  bool sixty_hz = false;        // decoder 0x08 bit 6
  uint8_t colour_standard = 0;  // decoder 0x0E bits 6:4
  uint8_t channel = 0;          // bridge 0x000 bits 4:3
  uint16_t bits() const {
    return uint16_t((input_mode & 0xF) | (sixty_hz << 4) | ((colour_standard & 7) << 5) | ((channel & 3) << 8));
  }
  static programming from_bits(uint16_t b) {
    return {uint8_t(b & 0xF), bool(b >> 4 & 1), uint8_t(b >> 5 & 7), uint8_t(b >> 8 & 3)};
  }
  bool operator==(const programming&) const = default;
};

// Fields from one sync mark to the next.
constexpr uint32_t sync_mark_interval(bool sixty_hz) { return sixty_hz ? 60 : 50; }
constexpr bool carries_sync_mark(uint32_t field_number, bool sixty_hz) {
  return field_number % sync_mark_interval(sixty_hz) == 0;
}

struct field_info {
  uint32_t number = 0;
  bool first_field = false;
  programming programmed;
  bool sync_mark = false;
  bool operator==(const field_info&) const = default;
};

// How the picture moves.
enum class motion {
  per_field,  // as a video camera sees it: every field a moment of its own
  // As film on tape (2:2): both fields of a picture show one moment, and
  // the next picture moves on: the box by film_step_pixels, and the bars
  // scroll right as far, wrapping round. Weaving a picture's own two fields
  // gives a whole progressive frame; weaving across pictures combs every
  // bar edge.
  film,
};
constexpr int film_step_pixels = 8;

// Draws one field in UYVY, `line_bytes` per line (1440 for 720 pixels).
void draw_field(uint8_t* uyvy, int lines, int line_bytes, const field_info& info, motion moving = motion::per_field);

// Reads the data strip back from a UYVY field.
field_info decode_uyvy(const uint8_t* uyvy, int lines, int line_bytes = width * 2);
// Reads it from a BGRA picture of any size that shows one field of
// field_lines lines, scaled; or a frame woven from two fields (rows
// interleaved: pass the field's first row, 0 or 1, and 2 as the row step).
field_info decode_bgra(const uint8_t* bgra, int picture_width, int picture_height, int field_lines, int first_row = 0,
                       int row_step = 1);

// Reads it from one row of luma (Y) of the strip of a field drawn
// picture_width pixels wide.
field_info decode_luma(const uint8_t* luma, int picture_width = width);

// Left edge of the moving box in a field.
int box_x(uint32_t field_number, motion moving = motion::per_field);

}  // namespace test_pattern
