// Streams video from one stick of an in-process backend as the capture
// thread does, one 32-packet transfer at a time: for tests that need the
// stick's bus to run (its clock, its sync marks) without the capture thread.
#pragma once

#include <memory>
#include <vector>

#include "capture/usb_seam.h"
#include "sim/in_process_backend.h"
#include "sim/virtual_stick.h"

class iso_stream {
 public:
  // Opens the first stick, claims its video interface and selects the
  // streaming setting; ok() tells whether all of it worked.
  explicit iso_stream(in_process_backend& backend) {
    const std::vector<usb_device_entry> entries = backend.list_devices();
    ok_ = !entries.empty() && backend.open(entries[0], device_) == 0 &&
          device_->claim_interface(stick_hw::interface_number) == 0 &&
          device_->set_altinterface(stick_hw::streaming_alternate) == 0 &&
          device_->iso_setup(iso_, stick_hw::video_endpoint, stick_hw::iso_packet_size) == 0;
  }
  ~iso_stream() {
    if (iso_) device_->iso_release(iso_);
  }
  iso_stream(const iso_stream&) = delete;
  iso_stream& operator=(const iso_stream&) = delete;

  bool ok() const { return ok_; }
  // One transfer submitted and reaped.
  bool transfer() {
    return device_->iso_submit(iso_.get(), region_.data(), int(region_.size())) == 0 &&
           device_->iso_reap(iso_.get(), 2000) >= 0;
  }

 private:
  static constexpr int packets = 32;
  bool ok_ = false;
  std::unique_ptr<usb_device> device_;
  std::unique_ptr<usb_iso_context> iso_;
  std::vector<unsigned char> region_ =
      std::vector<unsigned char>(size_t(iso_region_size(packets, stick_hw::iso_packet_size)));
};
