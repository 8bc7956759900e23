// Vendor control transfers through libusb and usbfs to the stick's
// registers, the serial bus to the decoder, forced failures and unplugging.
#include "tests/usbfs/usbfs_fixture.h"

namespace {

using stick_hw::vendor_in;
using stick_hw::vendor_out;

TEST_F(usbfs_test, register_write_and_read_carry_their_exact_fields) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  models[0]->clear_log();

  EXPECT_EQ(write_register(*device, 0x500, 0x0094), 0);
  EXPECT_EQ(models[0]->bridge(0x500), 0x94);

  unsigned char value = 0;
  EXPECT_EQ(read_register(*device, 0x500, value), 1);
  EXPECT_EQ(value, 0x94);

  // A 16-bit wValue goes out unchanged; the 8-bit register keeps the low byte.
  EXPECT_EQ(write_register(*device, 0x110, 0x05A0), 0);
  EXPECT_EQ(models[0]->bridge(0x110), 0xA0);
  EXPECT_EQ(read_register(*device, 0x110, value), 1);
  EXPECT_EQ(value, 0xA0);

  const std::vector<stick_op> controls = ops_of(*models[0], stick_op_kind::control);
  ASSERT_EQ(controls.size(), 4u);
  EXPECT_EQ(controls[0], (stick_op{stick_op_kind::control, vendor_out, 0x01, 0x0094, 0x0500, 0, 0}));
  EXPECT_EQ(controls[1], (stick_op{stick_op_kind::control, vendor_in, 0x00, 0x0000, 0x0500, 1, 1}));
  EXPECT_EQ(controls[2], (stick_op{stick_op_kind::control, vendor_out, 0x01, 0x05A0, 0x0110, 0, 0}));
  EXPECT_EQ(controls[3], (stick_op{stick_op_kind::control, vendor_in, 0x00, 0x0000, 0x0110, 1, 1}));
}

// One decoder register write over the bridge's serial bus.
int write_decoder(usb_device& d, int reg, int value, unsigned char& status) {
  int r = 0;
  if ((r = write_register(d, stick_hw::reg_serial_address, stick_hw::decoder_address)) < 0) return r;
  if ((r = write_register(d, stick_hw::reg_serial_subaddress, reg)) < 0) return r;
  if ((r = write_register(d, stick_hw::reg_serial_data, value)) < 0) return r;
  if ((r = write_register(d, stick_hw::reg_serial_control, stick_hw::serial_start_write)) < 0) return r;
  return read_register(d, stick_hw::reg_serial_status, status);
}

TEST_F(usbfs_test, serial_bus_writes_reach_the_decoder) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  models[0]->clear_log();

  unsigned char status = 0;
  ASSERT_EQ(write_decoder(*device, 0x08, 0x40, status), 1);
  EXPECT_EQ(status, stick_hw::serial_done);
  ASSERT_EQ(write_decoder(*device, 0x02, 0xC9, status), 1);
  EXPECT_EQ(status, stick_hw::serial_done);
  EXPECT_EQ(models[0]->decoder(0x08), 0x40);
  EXPECT_EQ(models[0]->decoder(0x02), 0xC9);

  const std::vector<stick_op> writes = ops_of(*models[0], stick_op_kind::decoder_write);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], (stick_op{stick_op_kind::decoder_write, 0, 0, 0x40, 0x08, 0, stick_hw::serial_done}));
  EXPECT_EQ(writes[1], (stick_op{stick_op_kind::decoder_write, 0, 0, 0xC9, 0x02, 0, stick_hw::serial_done}));
}

TEST_F(usbfs_test, serial_status_fault_shows_in_the_status_register) {
  stick_faults faults;
  faults.serial_status = 0x0C;
  plug(1, faults);
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  unsigned char status = 0;
  ASSERT_EQ(write_decoder(*device, 0x01, 0x08, status), 1);
  EXPECT_EQ(status, 0x0C);
}

TEST_F(usbfs_test, codec_reads_through_the_bridge) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  unsigned char lo = 0, hi = 0;
  ASSERT_EQ(write_register(*device, stick_hw::reg_codec_register, 0x7C), 0);
  ASSERT_EQ(write_register(*device, stick_hw::reg_codec_command, stick_hw::codec_read_command), 0);
  ASSERT_EQ(read_register(*device, stick_hw::reg_codec_data_lo, lo), 1);
  ASSERT_EQ(read_register(*device, stick_hw::reg_codec_data_hi, hi), 1);
  EXPECT_EQ(lo | (hi << 8), stick_hw::codec_vendor_id1);
}

TEST_F(usbfs_test, forced_control_results_come_back_through_libusb) {
  stick_faults faults;
  faults.control_results[0x500] = LIBUSB_ERROR_PIPE;
  faults.control_results[0x504] = LIBUSB_ERROR_IO;
  faults.control_results[0x201] = 0;  // a read that brings no byte
  faults.control_results[0x100] = LIBUSB_ERROR_TIMEOUT;
  plug(1, faults);
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);

  EXPECT_EQ(write_register(*device, 0x500, 0x8C), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(write_register(*device, 0x504, 0x00), LIBUSB_ERROR_IO);
  unsigned char value = 0xEE;
  EXPECT_EQ(read_register(*device, 0x201, value), 0);
  // A stick that does not answer: libusb gives up after the transfer's timeout.
  EXPECT_EQ(device->control_msg(vendor_out, stick_hw::request_write, 0x80, 0x100, nullptr, 0, 50),
            LIBUSB_ERROR_TIMEOUT);

  // Registers without a forced result still work afterwards.
  EXPECT_EQ(write_register(*device, 0x110, 0x12), 0);
  EXPECT_EQ(models[0]->bridge(0x110), 0x12);
  EXPECT_EQ(models[0]->bridge(0x500), 0x00);
}

TEST_F(usbfs_test, requests_the_bridge_does_not_know_stall) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  unsigned char buffer[4] = {};
  EXPECT_EQ(device->control_msg(vendor_in, 0x07, 0, 0x500, buffer, sizeof buffer, 1000), LIBUSB_ERROR_PIPE);
  // A write request with a data stage is not how the bridge takes registers.
  EXPECT_EQ(device->control_msg(vendor_out, stick_hw::request_write, 0x11, 0x110, buffer, 1, 1000), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(models[0]->bridge(0x110), 0x00);
}

TEST_F(usbfs_test, an_unplugged_stick_fails_every_operation) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  ASSERT_EQ(write_register(*device, 0x110, 0x01), 0);

  bus->unplug(0);
  unsigned char value = 0;
  const auto gone = [](int r) { return r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_IO; };
  EXPECT_PRED1(gone, write_register(*device, 0x110, 0x02));
  EXPECT_PRED1(gone, read_register(*device, 0x110, value));
  EXPECT_PRED1(gone, device->set_altinterface(stick_hw::streaming_alternate));
  EXPECT_PRED1(gone, device->set_configuration(stick_hw::configuration));
  EXPECT_EQ(models[0]->bridge(0x110), 0x01);

  // Opening it again does not bring it back.
  std::unique_ptr<usb_device> again = open();
  EXPECT_TRUE(!again || gone(again->claim_interface(stick_hw::interface_number)));
}

TEST_F(usbfs_test, a_model_unplugged_behind_the_emulation_fails_too) {
  plug();
  std::unique_ptr<usb_device> device = open_claimed();
  ASSERT_TRUE(device);
  models[0]->unplug();
  EXPECT_EQ(write_register(*device, 0x110, 0x02), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(models[0]->bridge(0x110), 0x00);
}

}  // namespace
