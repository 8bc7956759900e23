// The virtual stick behind the in-process USB seam: fast and deterministic,
// for unit and threaded tests and for benchmarks.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/usb_seam.h"
#include "sim/virtual_stick.h"

class stick_sound;

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
  // The stick's field clock runs this many parts per million fast
  // (negative: slow) against real time, -1000..1000: a microframe takes
  // 125 us / (1 + ppm * 1e-6). Paced devices opened afterwards.
  void set_clock_ppm(double ppm);

  // Told, on the thread that reaps, when each field carrying the picture's
  // sync mark started on the bus (steady_clock): paced devices opened
  // afterwards. Marks in microframes no transfer took are told when the
  // next transfer is reaped.
  using sync_mark_listener = std::function<void(std::chrono::steady_clock::time_point)>;
  void set_sync_mark_listener(sync_mark_listener listener);
  // Plays the stick's sound (stick_sound) into the PulseAudio sink, with a
  // click at each sync mark of paced devices opened afterwards. False, with
  // a message in *error, when the sound server cannot take it.
  bool play_sound(const std::string& sink, std::string* error = nullptr);
  void stop_sound();

  std::vector<usb_device_entry> list_devices() override;
  int open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) override;

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<virtual_stick>> sticks_;
  bool no_bus_ = false;
  bool paced_ = false;
  double clock_ppm_ = 0.0;
  sync_mark_listener listener_;
  std::shared_ptr<stick_sound> sound_;
  int opened_ = 0;  // tells the handles apart, as usbfs tells its clients apart
};
