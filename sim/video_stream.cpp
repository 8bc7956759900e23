#include "sim/video_stream.h"

#include <algorithm>
#include <cstring>

namespace {
// 59.94 fields/s is 133.4667 microframes a field.
constexpr uint64_t sixty_hz_microframes_x10000 = 1334667;
// How far a rolling picture moves down each field.
constexpr uint64_t roll_lines_per_field = 37;

// Lines a rolling picture is moved down in this field. It keeps the data
// strip off the lines a reader looks at, so a rolling field never reads
// back as the test pattern.
int roll_lines(uint32_t field, int lines) {
  if (lines <= 0) return 0;
  const uint64_t step = uint64_t(field) * roll_lines_per_field;
  constexpr int strip = test_pattern::strip_lines;
  if (lines <= 2 * strip) return int(step % uint64_t(lines));
  return strip + int(step % uint64_t(lines - 2 * strip));
}
}  // namespace

int video_stream::field_length(uint32_t field) const {
  if (!current_.sixty_hz) return 160;
  const uint64_t start = uint64_t(field) * sixty_hz_microframes_x10000 / 10000;
  const uint64_t end = uint64_t(field + 1) * sixty_hz_microframes_x10000 / 10000;
  return int(end - start);
}

void video_stream::begin_field(const stream_geometry& geometry, int max) {
  current_ = geometry;
  length_ = field_length(field_);
  field_bytes_ = std::max(0, geometry.lines) * std::max(0, geometry.line_bytes);
  const int data_packets = length_ - 1 - blanking_microframes;
  per_packet_ = (field_bytes_ + data_packets - 1) / data_packets;
  // More than a packet can carry: the field comes out short, as it would
  // from a stick programmed for a window its standard cannot fill.
  per_packet_ = std::min(per_packet_, max - data_header);
  per_packet_ &= ~3;  // whole UYVY pixel pairs
  if (per_packet_ * data_packets < field_bytes_ && per_packet_ + 4 <= max - data_header) per_packet_ += 4;
  drawn_ = false;
  // The data packets copy the picture from this far back, wrapping round.
  roll_bytes_ = current_.picture == stream_picture::rolling
                    ? roll_lines(field_, geometry.lines) * std::max(0, geometry.line_bytes)
                    : 0;
  // A flat field has no mark to carry; the field count goes on all the same.
  if (current_.picture != stream_picture::flat && test_pattern::carries_sync_mark(field_, current_.sixty_hz))
    marks_.push_back(microframe_);
}

void video_stream::draw() {
  const size_t bytes = size_t(field_bytes_);
  const size_t line_bytes = size_t(current_.line_bytes);
  if (current_.picture == stream_picture::flat) {
    if (flat_in_picture_ && picture_.size() == bytes) return;
    picture_.resize(bytes);
    // UYVY black: U = V = 128, Y = 16. One line, copied down.
    for (size_t i = 0; i < line_bytes; ++i) picture_[i] = (i % 2) ? 16 : 128;
    for (size_t at = line_bytes; at < bytes; at += line_bytes) std::memcpy(&picture_[at], picture_.data(), line_bytes);
    flat_in_picture_ = true;
    return;
  }
  picture_.resize(bytes);
  flat_in_picture_ = false;
  test_pattern::draw_field(
      picture_.data(), current_.lines, current_.line_bytes,
      {field_, field_ % 2 == 0, current_.programmed, test_pattern::carries_sync_mark(field_, current_.sixty_hz)},
      current_.moving);
}

int video_stream::next_packet(const stream_geometry& geometry, unsigned char* out, int max) {
  int length = 0;
  if (position_ == 0) begin_field(geometry, max);
  const bool top_field = (field_ % 2 == 0) != current_.sixty_hz;
  if (position_ == 0) {
    if (max >= start_header) {
      std::memset(out, 0, start_header);
      out[0] = top_field ? 0xC0 : 0x80;
      length = start_header;
    }
  } else if (position_ > blanking_microframes) {
    const int offset = (position_ - 1 - blanking_microframes) * per_packet_;
    const int n = std::min(per_packet_, field_bytes_ - offset);
    if (n > 0) {
      if (!drawn_) {
        draw();
        drawn_ = true;
      }
      out[0] = top_field ? 0x40 : 0x00;
      out[1] = out[2] = out[3] = 0;
      // A rolling picture: the field's bytes from roll_bytes_ before, in two
      // pieces where they wrap round the picture's end.
      const int from = roll_bytes_ == 0 ? offset : (offset + field_bytes_ - roll_bytes_) % field_bytes_;
      const int first_piece = std::min(n, field_bytes_ - from);
      std::memcpy(out + data_header, picture_.data() + from, size_t(first_piece));
      if (first_piece < n) std::memcpy(out + data_header + first_piece, picture_.data(), size_t(n - first_piece));
      length = data_header + n;
    }
  }
  ++microframe_;
  if (++position_ >= length_) {
    position_ = 0;
    ++field_;
  }
  return length;
}

void video_stream::skip(uint64_t microframes, const stream_geometry& geometry) {
  while (microframes > 0) {
    if (position_ == 0) begin_field(geometry, 3072);
    const uint64_t step = std::min<uint64_t>(microframes, uint64_t(length_ - position_));
    microframes -= step;
    microframe_ += step;
    position_ += int(step);
    if (position_ >= length_) {
      position_ = 0;
      ++field_;
    }
  }
}
