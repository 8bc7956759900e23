// The real libusb backend against virtual sticks on an emulated usbfs bus.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "capture/libusb_backend.h"
#include "sim/usbfs_stick.h"
#include "sim/virtual_stick.h"

class usbfs_test : public ::testing::Test {
 protected:
  // Plugs n sticks with these faults into a fresh emulated bus, then makes
  // the libusb backend that enumerates it.
  void plug(int n = 1, const stick_faults& faults = {}, usbfs_stick::options opts = {}, const plug_state& state = {}) {
    for (int i = 0; i < n; ++i) {
      auto model = std::make_shared<virtual_stick>();
      model->plug(state);
      model->set_faults(faults);
      models.push_back(model);
    }
    plug_models(opts);
  }

  void plug_models(usbfs_stick::options opts = {}) {
    std::string error;
    bus = usbfs_stick::create(models, opts, &error);
    ASSERT_TRUE(bus) << error;
    backend = std::make_unique<libusb_backend>();
  }

  // Opens the stick at the given index of the bus listing.
  std::unique_ptr<usb_device> open(size_t index = 0) {
    const std::vector<usb_device_entry> entries = backend->list_devices();
    std::unique_ptr<usb_device> device;
    if (index < entries.size()) backend->open(entries[index], device);
    return device;
  }

  // Opens the first stick and claims interface 0, configuring it first only
  // when it is not configured yet, as the capture thread does.
  std::unique_ptr<usb_device> open_claimed() {
    std::unique_ptr<usb_device> device = open();
    if (!device) return nullptr;
    if (device->get_configuration() != stick_hw::configuration &&
        device->set_configuration(stick_hw::configuration) != 0)
      return nullptr;
    if (device->claim_interface(stick_hw::interface_number) != 0) return nullptr;
    return device;
  }

  // The testbed's sysfs directory of the stick at the given index.
  std::string sysfs(size_t index = 0) const {
    return bus->root_dir() + "/sys/bus/usb/devices/1-" + std::to_string(index + 1);
  }

  // The operations of one kind in a stick's log.
  static std::vector<stick_op> ops_of(const virtual_stick& stick, stick_op_kind kind) {
    std::vector<stick_op> out;
    for (const stick_op& op : stick.log())
      if (op.kind == kind) out.push_back(op);
    return out;
  }

  void TearDown() override {
    backend.reset();
    bus.reset();
  }

  std::vector<std::shared_ptr<virtual_stick>> models;
  std::unique_ptr<usbfs_stick> bus;
  std::unique_ptr<libusb_backend> backend;
};

// An operation on an interface other than the video one: what the program
// must never do to the sound driver's interfaces.
inline bool touches_sound_interfaces(const stick_op& op) {
  switch (op.kind) {
    case stick_op_kind::claim_interface:
    case stick_op_kind::release_interface:
    case stick_op_kind::set_alternate:
    case stick_op_kind::detach_kernel_driver:
    case stick_op_kind::attach_kernel_driver:
      return op.index != stick_hw::interface_number;
    default:
      return false;
  }
}

// Bridge register access as the capture code does it.
inline int write_register(usb_device& d, int reg, int value) {
  return d.control_msg(stick_hw::vendor_out, stick_hw::request_write, value, reg, nullptr, 0, 1000);
}

inline int read_register(usb_device& d, int reg, unsigned char& value) {
  return d.control_msg(stick_hw::vendor_in, stick_hw::request_read, 0, reg, &value, 1, 1000);
}
