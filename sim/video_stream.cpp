#include "sim/video_stream.h"

#include <algorithm>
#include <cstring>

namespace {
// 59.94 fields/s is 133.4667 microframes a field.
constexpr uint64_t sixty_hz_microframes_x10000 = 1334667;
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
  if (test_pattern::carries_sync_mark(field_, current_.sixty_hz)) marks_.push_back(microframe_);
}

int video_stream::next_packet(const stream_geometry& geometry, unsigned char* out, int max) {
  int length = 0;
  const bool first_field = (field_ % 2) == 0;
  if (position_ == 0) {
    begin_field(geometry, max);
    if (max >= start_header) {
      std::memset(out, 0, start_header);
      out[0] = first_field ? 0xC0 : 0x80;
      length = start_header;
    }
  } else if (position_ > blanking_microframes) {
    const int offset = (position_ - 1 - blanking_microframes) * per_packet_;
    const int n = std::min(per_packet_, field_bytes_ - offset);
    if (n > 0) {
      if (!drawn_) {
        picture_.resize(size_t(field_bytes_));
        test_pattern::draw_field(
            picture_.data(), current_.lines, current_.line_bytes,
            {field_, first_field, current_.programmed, test_pattern::carries_sync_mark(field_, current_.sixty_hz)});
        drawn_ = true;
      }
      out[0] = first_field ? 0x40 : 0x00;
      out[1] = out[2] = out[3] = 0;
      std::memcpy(out + data_header, picture_.data() + offset, size_t(n));
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
