// The USB seam on libusb-1.0: what the program uses with a real stick.
//
// Discovery lists every device on every bus in bus order. An open device
// claims with auto-detach, so the kernel's video driver (stk1160) steps aside
// from interface 0 while it is claimed and comes back when it is released;
// the sound function's interfaces are never touched. It streams through
// libusb's asynchronous isochronous API: one transfer of 16 packets per
// context, reaped by running libusb's event handling until that transfer
// has completed.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "capture/usb_seam.h"

struct libusb_context;
struct libusb_device_handle;

class libusb_backend : public usb_backend {
 public:
  libusb_backend() = default;
  ~libusb_backend() override;
  libusb_backend(const libusb_backend&) = delete;
  libusb_backend& operator=(const libusb_backend&) = delete;

  std::vector<usb_device_entry> list_devices() override;
  int open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) override;

  // Packets per isochronous transfer: 16 microframes, 2 ms of bus time.
  static constexpr int iso_packets = 16;

 private:
  // Created on first use; null while libusb cannot be initialised (tried
  // again on the next call). Open devices share it, so it outlives them.
  std::shared_ptr<libusb_context> context();

  std::mutex mutex_;
  std::shared_ptr<libusb_context> context_;
};
