#include "capture/field_assembler.h"

#include <algorithm>
#include <cstring>

#include "capture/usb_seam.h"

field_assembler::field_assembler(unsigned char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

void field_assembler::set_format(int expected_field_size, int append_limit) {
  expected_field_size_ = expected_field_size;
  // The buffer bounds the append limit whatever the caller asks for.
  append_limit_ = int(std::min<size_t>(size_t(std::max(append_limit, 0)), capacity_));
}

void field_assembler::parse_packet(const unsigned char* data, size_t length, field_listener& listener) {
  if (length == 0) return;  // an empty packet: blanking, or nothing to send
  int header = data_header_size;
  if (data[0] & field_start_bit) {
    if (bytes_in_frame != 0) {
      if (bytes_in_frame == expected_field_size_) {
        ++counters_.fields_complete;
        listener.field_complete((data[0] & field_flag_bit) != 0);
      } else {
        ++counters_.fields_discarded;
      }
    }
    listener.field_start(bytes_in_frame);
    bytes_in_frame = 0;
    header = start_header_size;
  }
  if (length <= size_t(header)) return;
  const size_t n = length - size_t(header);
  // The whole payload or nothing: a partial copy would shift the raster.
  if (size_t(bytes_in_frame) + n < size_t(append_limit_)) {
    std::memcpy(buffer_ + bytes_in_frame, data + header, n);
    bytes_in_frame += int(n);
    counters_.payload_bytes += n;
  } else {
    ++counters_.packets_dropped_limit;
  }
}

namespace {
uint32_t read_u32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
}  // namespace

uint32_t field_assembler::parse_region(const unsigned char* region, size_t region_size, int packets_per_transfer,
                                       field_listener& listener) {
  const size_t header_size = size_t(iso_region_header_size(packets_per_transfer));
  if (region_size < header_size) return 0;
  const uint32_t claimed = read_u32(region);
  const uint32_t packets = std::min<uint32_t>(claimed, uint32_t(packets_per_transfer));
  counters_.packets_malformed += claimed - packets;
  for (uint32_t k = 0; k < packets; ++k) {
    const unsigned char* descriptor = region + 4 + 12 * size_t(k);
    const uint32_t offset = read_u32(descriptor);
    const uint32_t length = read_u32(descriptor + 4);
    if (length == 0) continue;
    if (offset < header_size || offset > region_size || length > region_size - offset) {
      ++counters_.packets_malformed;
      continue;
    }
    packet_ = int(k);
    parse_packet(region + offset, length, listener);
  }
  return claimed;
}
