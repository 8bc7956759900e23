// The virtual stick's decoder: its status byte read over the bridge's serial
// bus the way the stk1160 driver reads it, and the fields the stick sends
// with no signal, with a signal at the other field rate, or a weak one.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <vector>

#include "sim/test_pattern.h"
#include "sim/video_stream.h"
#include "sim/virtual_stick.h"

namespace {

using namespace stick_hw;

constexpr uint8_t sixty_hz_mode = 0x40;  // decoder 0x08 bit 6
constexpr uint8_t s_video = 0x09;        // decoder 0x02 input mode

// A stick driven register by register, as the host's control transfers
// reach it, and streamed one packet at a time.
struct virtual_decoder : ::testing::Test {
  virtual_stick stick;
  uint64_t microframe = 0;  // the stick's clock, as far as this test has run it
  int lines = 288;

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
  test_pattern::programming programmed() const { return stick.geometry().programmed; }

  // Capture on, a window of 720 x lines.
  void start_capture(bool sixty_hz) {
    lines = sixty_hz ? 240 : 288;
    write_decoder(0x02, s_video);
    ASSERT_EQ(stick.detach_kernel_driver(interface_number), 0);
    ASSERT_EQ(stick.set_alternate(interface_number, streaming_alternate, 1), 0);
    write(reg_window_end_x_lo, 1440 & 0xFF);
    write(reg_window_end_x_hi, 1440 >> 8);
    write(reg_window_end_y_lo, lines & 0xFF);
    write(reg_window_end_y_hi, lines >> 8);
    write(reg_capture_control, 0x80);
  }
  struct field {
    uint64_t start = 0;  // microframe of its start packet
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> marks;  // sync marks given while it came
  };
  // Streams up to the end of the next whole field's data; the field after it
  // starts with what the stick is set to then.
  field next_field() {
    field f;
    std::vector<unsigned char> packet(iso_packet_size);
    bool started = false;
    const size_t bytes = size_t(lines) * 1440;
    while (f.bytes.size() < bytes || !started) {
      int length = 0, status = 0;
      std::vector<uint64_t> marks;
      stick.stream_packets(1, iso_packet_size, packet.data(), &length, &status, &marks);
      if (!marks.empty()) f.marks.push_back(microframe);
      if (length == video_stream::start_header) {
        started = true;
        f.start = microframe;
        f.bytes.clear();
      } else if (started && length > video_stream::data_header) {
        f.bytes.insert(f.bytes.end(), packet.begin() + video_stream::data_header, packet.begin() + length);
      }
      ++microframe;
    }
    return f;
  }
  void skip_to(uint64_t to) {
    stick.skip_microframes(to - microframe);
    microframe = to;
  }
  test_pattern::field_info decode(const field& f) const { return test_pattern::decode_uyvy(f.bytes.data(), lines); }
  static bool flat_black(const field& f) {
    for (size_t i = 0; i < f.bytes.size(); ++i)
      if (f.bytes[i] != ((i % 2) ? 16 : 128)) return false;
    return true;
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

// At each field rate the decoder can be set for.
struct virtual_decoder_fields : virtual_decoder, ::testing::WithParamInterface<bool> {};

TEST_P(virtual_decoder_fields, keep_their_rate_without_a_lock_and_the_pattern_returns) {
  const bool sixty_hz = GetParam();
  start_capture(sixty_hz);
  std::vector<field> fields;
  for (signal_fault signal : {signal_fault::no_signal, signal_fault::other_field_rate, signal_fault::none}) {
    set_up(sixty_hz, signal);
    for (int i = 0; i < 3; ++i) fields.push_back(next_field());
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "field " << i);
    const uint64_t gap = i == 0 ? 0 : fields[i].start - fields[i - 1].start;
    if (i > 0) {
      if (sixty_hz) {
        EXPECT_TRUE(gap == 133 || gap == 134) << gap;
      } else {
        EXPECT_EQ(gap, 160u);
      }
    }
    const test_pattern::field_info read_back = decode(fields[i]);
    if (i < 3) {
      EXPECT_TRUE(flat_black(fields[i]));
      EXPECT_TRUE(fields[i].marks.empty()) << "a flat field carries no sync mark";
    } else if (i < 6) {
      EXPECT_FALSE(flat_black(fields[i]));
      EXPECT_NE(read_back.programmed, programmed()) << "a rolling picture read back as the test pattern";
    } else {
      EXPECT_EQ(read_back, (test_pattern::field_info{uint32_t(i), i % 2 == 0, programmed(), false}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(rates, virtual_decoder_fields, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "sixty_hz" : "fifty_hz"; });

TEST_F(virtual_decoder, a_weak_signal_locks_for_1_2_s_and_loses_it_for_0_8_s) {
  start_capture(false);
  set_up(false, signal_fault::weak);
  EXPECT_EQ(decode(next_field()).number, 0u);
  skip_to(9600);  // 1.2 s of the stick's clock, a field start
  EXPECT_EQ(read_decoder(decoder_status), 0x40);
  EXPECT_TRUE(flat_black(next_field()));
  skip_to(16000);
  EXPECT_EQ(read_decoder(decoder_status), 0x81);
  EXPECT_EQ(decode(next_field()).number, 100u);
}

}  // namespace
