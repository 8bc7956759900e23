// The virtual stick's decoder: its status byte read over the bridge's serial
// bus the way the stk1160 driver reads it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "sim/virtual_stick.h"

namespace {

using namespace stick_hw;

constexpr uint8_t sixty_hz_mode = 0x40;  // decoder 0x08 bit 6

// A stick driven register by register, as the host's control transfers
// reach it.
struct virtual_decoder : ::testing::Test {
  virtual_stick stick;

  void write(uint16_t reg, int value) {
    EXPECT_EQ(stick.control(vendor_out, request_write, value, reg, nullptr, 0), 0) << reg;
  }
  uint8_t read(uint16_t reg) {
    unsigned char byte = 0;
    EXPECT_EQ(stick.control(vendor_in, request_read, 0, reg, &byte, 1), 1) << reg;
    return byte;
  }
  void write_decoder(uint8_t sub, uint8_t value) {
    write(reg_serial_address, decoder_address);
    write(reg_serial_subaddress, sub);
    write(reg_serial_data, value);
    write(reg_serial_control, serial_start_write);
  }
  // Polls the status as the driver does, with a generous limit: the byte
  // from 0x209 once the read is done.
  std::optional<uint8_t> finish_read() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < limit)
      if (read(reg_serial_status) & serial_read_done) return read(reg_serial_read_data);
    return std::nullopt;
  }
  std::optional<uint8_t> read_decoder(uint8_t sub) {
    write(reg_serial_read_subaddress, sub);
    write(reg_serial_control, serial_start_read);
    return finish_read();
  }
  void set_up(bool sixty_hz, signal_fault signal) {
    write_decoder(0x08, sixty_hz ? sixty_hz_mode : 0);
    stick_faults f;
    f.signal = signal;
    stick.set_faults(f);
  }
};

TEST_F(virtual_decoder, status_byte_follows_the_signal_and_the_field_rate_set) {
  struct row {
    signal_fault signal;
    bool sixty_hz;
    uint8_t status;
  };
  const row rows[] = {
      {signal_fault::none, false, 0x81},
      {signal_fault::none, true, 0xA1},
      {signal_fault::no_signal, false, 0x40},
      {signal_fault::no_signal, true, 0x60},
      {signal_fault::other_field_rate, false, 0xA0},  // a 60 Hz tape, decoder set for 50 Hz
      {signal_fault::other_field_rate, true, 0x80},
      {signal_fault::weak, false, 0x81},  // its clock is in the locked part
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::Message() << "signal " << int(r.signal) << (r.sixty_hz ? " 60 Hz" : " 50 Hz"));
    set_up(r.sixty_hz, r.signal);
    stick.clear_log();
    write(reg_serial_read_subaddress, decoder_status);
    write(reg_serial_control, serial_start_read);
    EXPECT_EQ(read(reg_serial_status) & serial_read_done, 0) << "done before its bus time";
    EXPECT_EQ(finish_read(), r.status);
    std::vector<stick_op> reads;
    for (const stick_op& op : stick.log())
      if (op.kind == stick_op_kind::decoder_read) reads.push_back(op);
    EXPECT_EQ(
        reads,
        (std::vector<stick_op>{{stick_op_kind::decoder_read, 0, 0, r.status, decoder_status, 0, serial_read_done}}));
  }
}

TEST_F(virtual_decoder, a_read_nobody_answers_leaves_the_data_register) {
  write_decoder(0x0A, 0x80);
  EXPECT_EQ(read_decoder(0x0A), 0x80);
  set_up(false, signal_fault::no_signal);
  write(reg_serial_address, 0xA0);
  stick.clear_log();
  write(reg_serial_read_subaddress, decoder_status);
  write(reg_serial_control, serial_start_read);
  EXPECT_EQ(read(reg_serial_status), serial_nack);
  EXPECT_EQ(read(reg_serial_read_data), 0x80);
  for (const stick_op& op : stick.log()) EXPECT_NE(op.kind, stick_op_kind::decoder_read);
}

}  // namespace
