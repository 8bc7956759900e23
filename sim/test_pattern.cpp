#include "sim/test_pattern.h"

#include <cstring>

namespace test_pattern {

namespace {

void put_pixels(uint8_t* line, int x0, int x1, yuv c) {
  // UYVY: one U, Y0, V, Y1 group per two pixels.
  for (int x = x0 & ~1; x < x1; x += 2) {
    uint8_t* p = line + x * 2;
    p[0] = c.u;
    p[1] = c.y;
    p[2] = c.v;
    p[3] = c.y;
  }
}

}  // namespace

int box_x(uint32_t field_number, motion moving) {
  // Film moves a picture (two fields) at a time, twice as far.
  const uint32_t moment = moving == motion::film ? field_number & ~1u : field_number;
  return int((moment * 4u) % uint32_t(width - box_size)) & ~1;
}

namespace {
// How far film-like bars have scrolled right in a field.
int bars_shift(uint32_t field_number, motion moving) {
  if (moving != motion::film) return 0;
  return int((field_number / 2) * uint32_t(film_step_pixels) % uint32_t(width));
}
}  // namespace

void draw_field(uint8_t* uyvy, int lines, int line_bytes, const field_info& info, motion moving) {
  const int pixels = line_bytes / 2;
  const int bars_end = lines * 2 / 3;
  const int strip_start = lines - strip_lines;
  // Bars: draw one line, copy it down.
  if (bars_end > 0) {
    const int shift = bars_shift(info.number, moving);
    for (int b = 0; b < bar_count; ++b) {
      // Bar b from its place moved right, in one or two pieces.
      const int from = (b * bar_width + shift) % width, to = from + bar_width;
      put_pixels(uyvy, from, std::min(to, pixels), bars_yuv[size_t(b)]);
      if (to > width) put_pixels(uyvy, 0, std::min(to - width, pixels), bars_yuv[size_t(b)]);
    }
    for (int y = 1; y < bars_end; ++y) std::memcpy(uyvy + size_t(y) * line_bytes, uyvy, size_t(line_bytes));
  }
  // Band with the moving box.
  const int bx = box_x(info.number, moving);
  const int box_top = bars_end + std::max(0, (strip_start - bars_end - box_size) / 2);
  for (int y = bars_end; y < strip_start && y >= 0; ++y) {
    uint8_t* line = uyvy + size_t(y) * line_bytes;
    put_pixels(line, 0, pixels, band_yuv);
    if (y >= box_top && y < box_top + box_size) put_pixels(line, bx, std::min(bx + box_size, pixels), white_yuv);
  }
  // Data strip.
  if (strip_start < 0) return;
  uint8_t* first = uyvy + size_t(strip_start) * line_bytes;
  put_pixels(first, 0, pixels, black_yuv);
  auto bit_block = [&](int index, bool one) {
    if (one) put_pixels(first, index * block, std::min((index + 1) * block, pixels), white_yuv);
  };
  for (int i = 0; i < 32; ++i) bit_block(i, (info.number >> i) & 1);
  bit_block(32, info.first_field);
  const uint16_t bits = info.programmed.bits();
  for (int i = 0; i < 10; ++i) bit_block(33 + i, (bits >> i) & 1);
  bit_block(43, info.sync_mark);
  for (int y = strip_start + 1; y < lines; ++y) std::memcpy(uyvy + size_t(y) * line_bytes, first, size_t(line_bytes));
}

namespace {

template <typename Sample>
field_info decode(Sample bit_at) {
  field_info info;
  for (int i = 0; i < 32; ++i)
    if (bit_at(i)) info.number |= 1u << i;
  info.first_field = bit_at(32);
  uint16_t bits = 0;
  for (int i = 0; i < 10; ++i)
    if (bit_at(33 + i)) bits |= uint16_t(1 << i);
  info.programmed = programming::from_bits(bits);
  info.sync_mark = bit_at(43);
  return info;
}

}  // namespace

field_info decode_uyvy(const uint8_t* uyvy, int lines, int line_bytes) {
  const uint8_t* line = uyvy + size_t(lines - strip_lines / 2) * line_bytes;
  return decode([&](int i) {
    const int x = i * block + block / 2;
    return line[x * 2 + 1] > 128;
  });
}

field_info decode_bgra(const uint8_t* bgra, int picture_width, int picture_height, int field_lines, int first_row,
                       int row_step) {
  // The strip's middle line, in the rows of the one field being read.
  const int field_rows = picture_height / row_step;
  const int field_row = (field_lines - strip_lines / 2) * field_rows / field_lines;
  const uint8_t* row = bgra + size_t(first_row + field_row * row_step) * size_t(picture_width) * 4;
  return decode([&](int i) {
    const int x = (i * block + block / 2) * picture_width / width;
    return row[size_t(x) * 4 + 1] > 128;  // green follows luma for grey levels
  });
}

field_info decode_luma(const uint8_t* luma, int picture_width) {
  return decode([&](int i) {
    const int x = (i * block + block / 2) * picture_width / width;
    return luma[x] > 128;
  });
}

}  // namespace test_pattern
