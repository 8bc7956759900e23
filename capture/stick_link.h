// The stick as the capture thread talks to it: finding and claiming it over
// a usb_backend, and the bridge's register protocol over the claimed device:
// the bridge's own registers, the serial bus to the video decoder and the
// AC'97 codec path. Every transfer that fails is logged once and not retried.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "capture/usb_seam.h"

class stick_link {
 public:
  // How claiming went: whether a stick was claimed, else why the first
  // matching stick could not be.
  struct claim_result {
    enum class failure {
      none,                   // no matching stick on the bus
      gone,                   // it went away (or could not be opened) on the way
      slow_port,              // it sits on a USB 1.1 port
      no_permission,          // its device node is closed to this user
      configuration_refused,  // it did not take configuration 1
      interface_refused,      // its video interface could not be claimed
      in_use,                 // another program holds its video interface
    };
    bool claimed = false;
    failure first_failure = failure::none;
  };

  explicit stick_link(usb_backend* backend = default_usb_backend()) : backend_(backend) {}

  // The USB layer the stick is found through; set before claim().
  void set_backend(usb_backend* backend) { backend_ = backend; }
  // A flag that cuts every transfer short while set (closing): what is left
  // of a programming pass could take each transfer's whole time-out.
  void set_cancel_flag(const std::atomic<bool>* cancel) { cancel_ = cancel; }

  // Opens and claims every matching stick; the last one claimed is kept.
  claim_result claim();
  // Releasing the video interface puts it back on alternate setting 0 and
  // hands it to the kernel's video driver that the claim set aside.
  void close() { device_.reset(); }
  bool is_open() const { return device_ != nullptr; }
  usb_device* device() const { return device_.get(); }
  // What the system says about the stick last claimed (empty strings
  // before that); any thread.
  usb_device_identity identity() const;

  // The bridge's registers and its standard SET_FEATURE request.
  uint8_t read_register(uint16_t reg);
  bool write_register(uint16_t reg, uint16_t value);
  bool set_feature(uint16_t feature);
  // The decoder's registers, over the bridge's serial bus.
  void write_decoder_register(uint8_t reg, uint16_t value);
  // Reads one over the serial bus, polling the bridge until the byte is
  // there (a few hundred microseconds; at most about 100 ms). Nothing when
  // the transfers fail or the decoder does not answer in time; `why` then
  // says which. Not logged here: the caller reads often and tells once.
  std::optional<uint8_t> read_decoder_register(uint8_t reg, QString* why = nullptr);
  // The codec's registers, over the bridge's AC'97 path. The two data bytes:
  // low byte (0x502) in bits 7:0, high byte (0x503) in 15:8.
  void write_codec_register(uint8_t reg, uint16_t value);
  uint16_t read_codec_register(uint8_t reg);
  // Selects the video interface's streaming alternate setting; 0 or a
  // negative libusb error (logged).
  int select_streaming_alternate();

  // A programming pass: from begin_pass() to end_pass(), a transfer that
  // timed out or found no device makes the stick silent, and the rest of
  // the pass is skipped.
  void begin_pass();
  void end_pass() { in_pass_ = false; }
  bool silent() const { return silent_; }
  // Transfers that failed in the last pass.
  unsigned failed_transfers() const { return failed_transfers_; }
  // Transfers are being skipped: a close, or a silent stick in a pass.
  bool skipping() const { return (cancel_ && cancel_->load(std::memory_order_acquire)) || (in_pass_ && silent_); }

 private:
  void note_failure(int result);

  usb_backend* backend_;
  const std::atomic<bool>* cancel_ = nullptr;
  std::unique_ptr<usb_device> device_;
  mutable std::mutex identity_mutex_;
  usb_device_identity identity_;
  bool in_pass_ = false;
  bool silent_ = false;
  unsigned failed_transfers_ = 0;
};
