// The isochronous video transfers of one streaming run: set up on the
// stick's video endpoint, all queued at once, reaped oldest first (the bus
// completes them in the order they were queued) and queued again at once
// after each reap. A transfer whose submission failed waits and is tried
// again after each reap. Errors are logged, each distinct one once with how
// often it repeated.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "capture/usb_seam.h"

class video_transfers {
 public:
  // 64 transfers of 16 microframes keep 128 ms of the bus queued (3 MB of
  // transfer memory, well inside usbfs's 16 MB), as much as the kernel's
  // own video driver keeps: a capture thread held up for less than that
  // loses nothing.
  static constexpr int packet_size = 3072;  // 1024 bytes x 3 transactions per microframe
  static constexpr int in_flight_count = 64;
  static constexpr int packets_per_transfer = 16;
  static constexpr int region_size = iso_region_size(packets_per_transfer, packet_size);

  // Sets up the transfers on `device` (which outlives this); queues nothing.
  explicit video_transfers(usb_device& device);
  // Releases what release() did not.
  ~video_transfers();

  // Queues every transfer that was set up.
  void submit_all();
  // No transfer in flight: every submission failed.
  bool none_in_flight() const { return in_flight_.empty(); }
  // A submission found no device: the stick is gone.
  bool found_no_device() const { return submit_found_no_device_; }

  // The oldest transfer in flight (none_in_flight() false).
  int oldest() const { return in_flight_.front(); }
  // Waits up to `timeout_ms` for the oldest; the libusb-style result
  // (LIBUSB_ERROR_TIMEOUT: still in flight).
  int reap_oldest(int timeout_ms);
  // The oldest was reaped: out of flight; when it was queued (steady clock).
  int64_t take_oldest();
  // Queues transfer `i` again, then those whose submission failed before.
  void resubmit(int i);
  // Tries again the transfers whose submission failed.
  void retry_idle();
  // The region transfer `i` completes into (iso_region_size layout).
  const unsigned char* region(int i) const;
  // A reap that failed, for the log.
  void report_reap_error(int result);

  // Cancels what is still queued and waits for it. A transfer that did not
  // come back may still complete into its region: the regions are handed
  // out then, to stay until the device is closed (else null).
  std::unique_ptr<unsigned char[]> release();

 private:
  class repeat_filter;
  void submit(int i);
  unsigned char* region_at(int i) const;

  usb_device& device_;
  std::unique_ptr<unsigned char[]> regions_;
  std::vector<std::unique_ptr<usb_iso_context>> contexts_;
  std::unique_ptr<repeat_filter> submit_errors_;
  std::unique_ptr<repeat_filter> reap_errors_;
  // Transfers in flight, oldest first; and those whose submission failed.
  std::deque<int> in_flight_;
  std::vector<int> idle_;
  std::vector<int64_t> submitted_ns_;
  bool submit_found_no_device_ = false;
  bool released_ = false;
};
