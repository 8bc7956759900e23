// The virtual stick's decoder: its status byte read over the bridge's serial
// bus the way the stk1160 driver reads it, and the fields the stick sends
// with no signal or with a signal at the other field rate.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "sim/test_pattern.h"
#include "sim/virtual_stick.h"

namespace {

using namespace stick_hw;
using register_writes = std::initializer_list<std::pair<uint16_t, int>>;

struct virtual_decoder : ::testing::Test {
  virtual_stick stick;

  void write(uint16_t reg, int value) {
    EXPECT_EQ(stick.control(vendor_out, request_write, value, reg, nullptr, 0), 0);
  }
  uint8_t read(uint16_t reg) {
    unsigned char byte = 0;
    EXPECT_EQ(stick.control(vendor_in, request_read, 0, reg, &byte, 1), 1);
    return byte;
  }
  // The decoder set for 60 Hz (0x08 bit 6) or 50 Hz, on the S-Video input
  // (0x02 = 9), with the signal given.
  void set_up(bool sixty_hz, signal_fault signal) {
    for (auto [sub, value] : register_writes{{0x08, sixty_hz ? 0x40 : 0}, {0x02, 0x09}})
      for (auto [reg, byte] : register_writes{{reg_serial_address, decoder_address},
                                              {reg_serial_subaddress, sub},
                                              {reg_serial_data, value},
                                              {reg_serial_control, serial_start_write}})
        write(reg, byte);
    stick_faults f;
    f.signal = signal;
    stick.set_faults(f);
  }
  // Reads the status byte as the driver does: polled after the start, with
  // a generous limit (the bus time is a few hundred microseconds).
  std::optional<uint8_t> read_status() {
    write(reg_serial_read_subaddress, decoder_status);
    write(reg_serial_control, serial_start_read);
    for (auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
         std::chrono::steady_clock::now() < limit;) {
      const uint8_t status = read(reg_serial_status);
      if (status == serial_nack) break;
      if (status & serial_read_done) return read(reg_serial_read_data);
    }
    return std::nullopt;
  }
  std::vector<stick_op> decoder_reads() const {
    std::vector<stick_op> out;
    for (const stick_op& op : stick.log())
      if (op.kind == stick_op_kind::decoder_read) out.push_back(op);
    return out;
  }
};

TEST_F(virtual_decoder, status_byte_follows_the_signal_and_the_field_rate_set) {
  const struct {
    signal_fault signal;
    bool sixty_hz;
    uint64_t microframe;  // the stick's clock
    uint8_t status;
  } rows[] = {
      {signal_fault::none, false, 0, 0x81},
      {signal_fault::none, true, 0, 0xA1},
      {signal_fault::no_signal, false, 0, 0x40},
      {signal_fault::no_signal, true, 0, 0x60},
      {signal_fault::sixty_hz_tape, false, 0, 0xA0},  // the lines lock, the picture cannot
      {signal_fault::fifty_hz_tape, true, 0, 0x80},
      {signal_fault::sixty_hz_tape, true, 0, 0xA1},  // set for the tape's rate: locked
      {signal_fault::weak, false, 0, 0x81},
      {signal_fault::weak, false, 9600, 0x40},  // locked for 1.2 s, then not for 0.8 s
      {signal_fault::weak, true, 16000, 0xA1},
  };
  uint64_t clock = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "signal " << int(r.signal) << " 60 Hz " << r.sixty_hz << " at " << r.microframe);
    set_up(r.sixty_hz, r.signal);
    stick.skip_microframes(r.microframe - std::exchange(clock, r.microframe));
    stick.clear_log();
    EXPECT_EQ(read_status(), r.status);
    EXPECT_EQ(decoder_reads(), (std::vector<stick_op>{{stick_op_kind::decoder_read, 0, 0, r.status, 0x1F, 0, 1}}));
  }
}

// Three fields with no signal, three at the other field rate, three with
// the signal back: at 50 Hz a transfer of 160 packets is one field.
TEST_F(virtual_decoder, fields_keep_their_rate_without_a_lock_and_the_pattern_returns) {
  ASSERT_EQ(stick.detach_kernel_driver(interface_number), 0);
  ASSERT_EQ(stick.set_alternate(interface_number, streaming_alternate, 1), 0);
  // A window of 1440 bytes by 288 lines, capture on.
  for (auto [reg, value] : register_writes{{0x114, 0xA0}, {0x115, 0x05}, {0x116, 0x20}, {0x117, 0x01}, {0x100, 0x80}})
    write(reg, value);
  std::vector<uint8_t> black(288 * 1440);
  for (size_t i = 0; i < black.size(); ++i) black[i] = i % 2 ? 16 : 128;
  std::vector<unsigned char> data(160 * iso_packet_size);
  std::vector<int> lengths(160), statuses(160);
  uint32_t number = 0;
  for (signal_fault signal : {signal_fault::no_signal, signal_fault::sixty_hz_tape, signal_fault::none}) {
    set_up(false, signal);
    for (int i = 0; i < 3; ++i, ++number) {
      SCOPED_TRACE(testing::Message() << "field " << number);
      std::vector<uint64_t> marks;
      stick.stream_packets(160, iso_packet_size, data.data(), lengths.data(), statuses.data(), &marks);
      EXPECT_EQ(lengths[0], video_stream::start_header) << "the field did not start on time";
      std::vector<uint8_t> field;
      for (size_t k = 1; k < 160; ++k) {
        const auto packet = data.begin() + ptrdiff_t(k * iso_packet_size);
        if (lengths[k] > video_stream::data_header)
          field.insert(field.end(), packet + video_stream::data_header, packet + lengths[k]);
      }
      ASSERT_EQ(field.size(), black.size());
      const test_pattern::field_info read_back = test_pattern::decode_uyvy(field.data(), 288);
      const test_pattern::programming programmed = stick.geometry().programmed;
      if (signal == signal_fault::no_signal) {
        EXPECT_EQ(field, black);
        EXPECT_TRUE(marks.empty()) << "a flat field carries no sync mark";
      } else if (signal == signal_fault::sixty_hz_tape) {
        EXPECT_NE(read_back.programmed, programmed) << "a rolling picture read back as the test pattern";
      } else {
        EXPECT_EQ(read_back, (test_pattern::field_info{number, number % 2 == 0, programmed, false}));
      }
    }
  }
}

}  // namespace
