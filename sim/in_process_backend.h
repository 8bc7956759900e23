// The virtual stick behind the in-process USB seam: fast and deterministic,
// for unit and threaded tests and for benchmarks.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "capture/usb_seam.h"
#include "sim/virtual_stick.h"

class in_process_backend : public usb_backend {
 public:
  // Sticks appear on bus 1 in the order they were added.
  void add(std::shared_ptr<virtual_stick> stick);
  void clear();
  // Real time (one packet per 125 us microframe) or as fast as the reader
  // takes it (benchmarks, most tests). Applies to devices opened afterwards.
  void set_paced(bool paced);
  // When set, discovery finds no bus at all.
  void set_no_bus(bool no_bus);

  std::vector<usb_device_entry> list_devices() override;
  int open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) override;

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<virtual_stick>> sticks_;
  bool no_bus_ = false;
  bool paced_ = false;
  int opened_ = 0;  // tells the handles apart, as usbfs tells its clients apart
};
