// Packet-to-field assembly: the size rule, the headers, the append limit, and
// regions whose descriptors cannot be trusted.
#include "capture/field_assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "capture/usb_seam.h"

namespace {

constexpr int pal_field = 414720;
constexpr int ntsc_field = 345600;

struct recorder : field_listener {
  std::vector<bool> flags;
  std::vector<int> starts;
  void field_complete(bool next_field_flag) override { flags.push_back(next_field_flag); }
  void field_start(int bytes) override { starts.push_back(bytes); }
};

std::vector<unsigned char> start_packet(bool flag, size_t payload = 0, unsigned char fill = 0) {
  std::vector<unsigned char> p(8 + payload, fill);
  std::memset(p.data(), 0, 8);
  p[0] = flag ? 0xC0 : 0x80;
  return p;
}

std::vector<unsigned char> data_packet(size_t payload, unsigned char fill) {
  std::vector<unsigned char> p(4 + payload, fill);
  std::memset(p.data(), 0, 4);
  return p;
}

struct assembly : ::testing::Test {
  std::vector<unsigned char> buffer = std::vector<unsigned char>(829440, 0xEE);
  field_assembler a{buffer.data(), buffer.size()};
  recorder r;

  void feed(const std::vector<unsigned char>& p) { a.parse_packet(p.data(), p.size(), r); }
  // `bytes` of payload in 3068-byte data packets, byte value = packet index.
  void feed_payload(int bytes) {
    unsigned char n = 1;
    while (bytes > 0) {
      const int chunk = std::min(bytes, 3068);
      feed(data_packet(size_t(chunk), n++));
      bytes -= chunk;
    }
  }
};

TEST_F(assembly, exactly_one_field_of_bytes_is_handed_over) {
  for (auto [expected, limit] : {std::pair{pal_field, 829440}, {ntsc_field, 691200}}) {
    SCOPED_TRACE(expected);
    for (int delta : {0, -1, +1}) {
      r = recorder{};
      a.set_format(expected, limit);
      a.start_run();
      feed(start_packet(true));
      feed_payload(expected + delta);
      feed(start_packet(false));
      if (delta == 0) {
        ASSERT_EQ(r.flags.size(), 1u);
        EXPECT_FALSE(r.flags[0]) << "the flag comes from the packet that begins the next field";
      } else {
        EXPECT_TRUE(r.flags.empty()) << "delta " << delta;
      }
      EXPECT_EQ(a.bytes(), 0);
    }
  }
  EXPECT_EQ(a.counters().fields_complete, 2u);
  EXPECT_EQ(a.counters().fields_discarded, 4u);
}

TEST_F(assembly, payload_lands_in_raster_order_without_headers) {
  a.set_format(pal_field, 829440);
  feed(start_packet(false, 100, 0x11));  // a start packet may carry payload too
  feed(data_packet(50, 0x22));
  EXPECT_EQ(a.bytes(), 150);
  EXPECT_EQ(buffer[0], 0x11);
  EXPECT_EQ(buffer[99], 0x11);
  EXPECT_EQ(buffer[100], 0x22);
  EXPECT_EQ(buffer[149], 0x22);
  EXPECT_EQ(buffer[150], 0xEE);
}

TEST_F(assembly, a_short_start_packet_still_ends_the_field) {
  a.set_format(pal_field, 829440);
  feed(start_packet(false));
  feed_payload(pal_field);
  for (size_t len : {size_t(1), size_t(5), size_t(8)}) {
    std::vector<unsigned char> p(len, 0);
    p[0] = 0xC0;
    feed(p);
    EXPECT_EQ(a.bytes(), 0);
  }
  ASSERT_EQ(r.flags.size(), 1u);
  EXPECT_TRUE(r.flags[0]);
  // A data packet of 4 bytes or less carries nothing.
  feed(data_packet(0, 0));
  std::vector<unsigned char> tiny{0x00, 0x01};
  feed(tiny);
  EXPECT_EQ(a.bytes(), 0);
}

TEST_F(assembly, a_packet_reaching_the_append_limit_is_dropped_whole) {
  a.set_format(pal_field, 10000);
  feed(start_packet(false));
  feed(data_packet(9000, 1));
  feed(data_packet(999, 2));  // 9999 < 10000: fits
  EXPECT_EQ(a.bytes(), 9999);
  feed(data_packet(1, 3));  // would reach the limit exactly
  EXPECT_EQ(a.bytes(), 9999);
  feed(data_packet(2, 4));  // one byte would fit, the packet does not
  EXPECT_EQ(a.bytes(), 9999);
  EXPECT_EQ(buffer[9998], 2);
  EXPECT_EQ(buffer[9999], 0xEE);
  EXPECT_EQ(a.counters().packets_dropped_limit, 2u);
  // The limit never exceeds the buffer, whatever is asked.
  a.set_format(pal_field, 1 << 30);
  a.start_run();
  feed(start_packet(false));
  feed_payload(829440 + 5000);
  EXPECT_LT(a.bytes(), 829440);
}

TEST_F(assembly, the_first_field_of_a_run_is_never_handed_over) {
  a.set_format(ntsc_field, 691200);
  // Joined mid-field: a partial count.
  feed_payload(ntsc_field - 20000);
  feed(start_packet(true));
  EXPECT_TRUE(r.flags.empty());
  // Joined exactly at a field start: nothing assembled before it.
  a.start_run();
  feed(start_packet(true));
  EXPECT_TRUE(r.flags.empty());
  ASSERT_EQ(r.starts.size(), 2u);
  EXPECT_EQ(r.starts[0], ntsc_field - 20000);
  EXPECT_EQ(r.starts[1], 0);
  // Even a full field's worth before the run began does not count.
  feed_payload(ntsc_field);
  a.start_run();
  feed(start_packet(false));
  EXPECT_TRUE(r.flags.empty());
}

// ---- regions ------------------------------------------------------------------

constexpr int packets = 16;
constexpr int packet_size = 3072;
constexpr int header = iso_region_header_size(packets);
constexpr int region_size = iso_region_size(packets, packet_size);

struct region_builder {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(region_size, 0);
  void set_count(uint32_t n) { std::memcpy(bytes.data(), &n, 4); }
  void set_descriptor(int k, uint32_t offset, uint32_t length) {
    std::memcpy(bytes.data() + 4 + 12 * k, &offset, 4);
    std::memcpy(bytes.data() + 8 + 12 * k, &length, 4);
  }
  // Packet k at its slot, with the given contents.
  void put(int k, const std::vector<unsigned char>& p) {
    const uint32_t offset = uint32_t(header + k * packet_size);
    std::memcpy(bytes.data() + offset, p.data(), p.size());
    set_descriptor(k, offset, uint32_t(p.size()));
  }
};

TEST_F(assembly, regions_are_parsed_packet_by_packet) {
  a.set_format(pal_field, 829440);
  region_builder rb;
  rb.set_count(packets);
  rb.put(0, start_packet(true, 10, 0x33));
  rb.put(1, data_packet(3068, 0x44));
  // packets 2..15 empty
  EXPECT_EQ(a.parse_region(rb.bytes.data(), rb.bytes.size(), packets, r), uint32_t(packets));
  EXPECT_EQ(a.bytes(), 10 + 3068);
  EXPECT_EQ(buffer[0], 0x33);
  EXPECT_EQ(buffer[10], 0x44);

  // A count of 0 contributes nothing, even with stale descriptors.
  const int before = a.bytes();
  rb.set_count(0);
  EXPECT_EQ(a.parse_region(rb.bytes.data(), rb.bytes.size(), packets, r), 0u);
  EXPECT_EQ(a.bytes(), before);
}

TEST_F(assembly, untrusted_descriptors_never_read_outside_the_region) {
  a.set_format(pal_field, 829440);
  // An exactly sized heap block, so AddressSanitizer sees any read past it.
  region_builder rb;
  rb.set_count(packets);
  rb.put(0, data_packet(100, 0x55));
  rb.set_descriptor(1, region_size - 10, 11);      // runs one byte past the end
  rb.set_descriptor(2, 0xFFFFFFF0u, 0x20);         // offset + length wraps around
  rb.set_descriptor(3, 4, 100);                    // inside the descriptor table
  rb.set_descriptor(4, region_size, 1);            // starts at the end
  rb.set_descriptor(5, header, 0xFFFFFFFFu);       // absurd length
  rb.set_descriptor(6, region_size - 3072, 3072);  // the last slot, exactly: fine
  std::memset(rb.bytes.data() + region_size - 3072, 0x66, 3072);
  auto* exact = new unsigned char[region_size];
  std::memcpy(exact, rb.bytes.data(), region_size);
  a.parse_region(exact, region_size, packets, r);
  EXPECT_EQ(a.counters().packets_malformed, 5u);
  EXPECT_EQ(a.bytes(), 100 + 3068);

  // A count larger than the descriptor table can hold: the rest is dropped.
  uint32_t huge = 1000000;
  std::memcpy(exact, &huge, 4);
  const uint64_t malformed = a.counters().packets_malformed;
  EXPECT_EQ(a.parse_region(exact, region_size, packets, r), huge);
  EXPECT_EQ(a.counters().packets_malformed, malformed + 5 + (huge - packets));
  // A region too small for its own header is ignored.
  EXPECT_EQ(a.parse_region(exact, 10, packets, r), 0u);
  delete[] exact;
}

}  // namespace
