#include "sim/in_process_backend.h"

#include <libusb.h>

namespace {

// An open handle on one virtual stick.
class in_process_device : public usb_device {
 public:
  explicit in_process_device(std::shared_ptr<virtual_stick> stick) : stick_(std::move(stick)) {}

  int set_configuration(int configuration) override { return stick_->set_configuration(configuration); }
  int claim_interface(int interface_number) override {
    claimed_ = interface_number;
    return stick_->claim_interface(interface_number);
  }
  int set_altinterface(int alternate) override { return stick_->set_alternate(claimed_, alternate); }
  int control_msg(int request_type, int request, int value, int index, unsigned char* data, int length,
                  int timeout_ms) override {
    (void)timeout_ms;  // the model answers at once
    return stick_->control(request_type, request, value, index, data, length);
  }

  // The video stream of the model is reached through the isochronous
  // service; without a stream source the service refuses to set up.
  int iso_setup(std::unique_ptr<usb_iso_context>&, unsigned char, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int iso_submit(usb_iso_context*, unsigned char*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int iso_reap(usb_iso_context*, int) override { return LIBUSB_ERROR_NOT_SUPPORTED; }
  int iso_release(std::unique_ptr<usb_iso_context>& context) override {
    context.reset();
    return 0;
  }

 private:
  std::shared_ptr<virtual_stick> stick_;
  int claimed_ = -1;
};

}  // namespace

void in_process_backend::add(std::shared_ptr<virtual_stick> stick) {
  std::lock_guard lock(mutex_);
  sticks_.push_back(std::move(stick));
}

void in_process_backend::clear() {
  std::lock_guard lock(mutex_);
  sticks_.clear();
}

void in_process_backend::set_no_bus(bool no_bus) {
  std::lock_guard lock(mutex_);
  no_bus_ = no_bus;
}

std::vector<usb_device_entry> in_process_backend::list_devices() {
  std::lock_guard lock(mutex_);
  std::vector<usb_device_entry> entries;
  if (no_bus_) return entries;
  for (size_t i = 0; i < sticks_.size(); ++i) {
    if (sticks_[i]->faults().unplugged) continue;
    entries.push_back({1, int(i) + 2, sticks_[i]->vendor, sticks_[i]->product});
  }
  return entries;
}

std::unique_ptr<usb_device> in_process_backend::open(const usb_device_entry& entry) {
  std::shared_ptr<virtual_stick> stick;
  {
    std::lock_guard lock(mutex_);
    const size_t i = size_t(entry.address - 2);
    if (entry.bus != 1 || entry.address < 2 || i >= sticks_.size()) return nullptr;
    stick = sticks_[i];
  }
  if (stick->open() != 0) return nullptr;
  return std::make_unique<in_process_device>(std::move(stick));
}
