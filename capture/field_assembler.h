// Packet-to-field assembly for the bridge's isochronous video stream.
//
// Every non-empty packet starts with a header: 8 bytes on the packet that
// begins a field (bit 7 of byte 0 set; bit 6 is the field flag), 4 bytes on
// the others. The rest is UYVY payload in raster order, appended to the
// assembly buffer. At the next field start the field is complete if exactly
// one field's bytes arrived; otherwise it is discarded.
//
// Free of Qt and USB so it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

class field_listener {
 public:
  virtual ~field_listener() = default;
  // A field of exactly the expected size is in the assembly buffer. It is
  // told by the packet that begins the next field: `next_field_flag` is that
  // packet's bit 6, the next field's flag, not this one's.
  virtual void field_complete(bool next_field_flag) = 0;
  // A field-start packet arrived; bytes is what had been assembled before it.
  virtual void field_start(int bytes) { (void)bytes; }
};

struct assembly_counters {
  uint64_t fields_complete = 0;
  uint64_t fields_discarded = 0;       // wrong size at the next field start
  uint64_t packets_dropped_limit = 0;  // would have reached the append limit
  uint64_t packets_malformed = 0;      // descriptor outside the region, or beyond the header
  uint64_t payload_bytes = 0;
};

class field_assembler {
 public:
  static constexpr int start_header_size = 8;
  static constexpr int data_header_size = 4;
  static constexpr uint8_t field_start_bit = 0x80;
  static constexpr uint8_t field_flag_bit = 0x40;

  // buffer: the assembly buffer, capacity bytes (never written beyond).
  field_assembler(unsigned char* buffer, size_t capacity);

  // A new streaming run: whatever was being assembled is discarded.
  void start_run() { bytes_in_frame = 0; }
  // Size of one field (345,600 or 414,720 bytes) and the append limit.
  void set_format(int expected_field_size, int append_limit);

  // One packet's bytes as received.
  void parse_packet(const unsigned char* data, size_t length, field_listener& listener);

  // A reaped transfer region: number of packets, then per packet (offset
  // from the region start, received length, status), then the data area.
  // Reads only what lies inside the region: descriptors past what the header
  // can hold, or pointing outside the data area, are dropped and counted.
  // Returns the packet count the region claimed.
  uint32_t parse_region(const unsigned char* region, size_t region_size, int packets_per_transfer,
                        field_listener& listener);

  int bytes() const { return bytes_in_frame; }
  // Within parse_region(): which of the region's packets is being parsed.
  int packet() const { return packet_; }
  const assembly_counters& counters() const { return counters_; }

 private:
  unsigned char* buffer_;
  size_t capacity_;
  int bytes_in_frame = 0;
  int packet_ = 0;
  int expected_field_size_ = 414720;
  int append_limit_ = 829440;
  assembly_counters counters_;
};
