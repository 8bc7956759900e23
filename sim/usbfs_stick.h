// The virtual stick as an emulated usbfs device node (umockdev), so that the
// real libusb-1.0 backend, unchanged, can find, open, program and stream
// from it.
//
// One usbfs_stick builds a umockdev testbed with one USB device per model
// on bus 1 (1-1 at address 2, 1-2 at address 3, ...): sysfs attributes and
// descriptors as the kernel shows them, and a device node whose usbfs ioctls
// are answered from the model on umockdev's worker thread.
//
// Use it in a process started with LD_PRELOAD=libumockdev-preload.so.0
// (the testbed sets UMOCKDEV_DIR for the process), or hand root_dir() and the
// preload to another program, as the emulator program does.
//
// The device node is a FIFO holding one byte while nothing can be reaped
// (the pipe is one page, so one byte fills it) and empty while a URB waits
// to be reaped: libusb polls the node for POLLOUT and so wakes only when
// there is work, as it does on the kernel's usbfs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/virtual_stick.h"

// Where the isochronous stream's bytes come from. Called on umockdev's
// worker thread, with the stick's lock held, when an URB's bus time is over.
class iso_source {
 public:
  virtual ~iso_source() = default;
  // Packet k of count goes to data + k * packet_size (at most packet_size
  // bytes), its length to lengths[k], its status to statuses[k] (0, or a
  // negative errno as usbfs reports it). Returns the bytes delivered, or a
  // negative libusb error for the whole URB (LIBUSB_ERROR_NO_DEVICE: the
  // stick is gone).
  virtual int fill(int count, int packet_size, unsigned char* data, int* lengths, int* statuses) = 0;
  // Microframes that passed with no URB queued on the endpoint.
  virtual void skip(uint64_t microframes) { (void)microframes; }
  // The microframes of the last fill() or skip() in which a field carrying
  // the picture's sync mark started, counted from its first. None unless
  // the source draws the test pattern.
  virtual std::vector<uint64_t> take_marks() { return {}; }
};

class usbfs_stick {
 public:
  struct options {
    // Paced: an isochronous URB completes after its bus time (125 us per
    // packet, URBs queued one after another on the endpoint). Unpaced: as
    // soon as the worker gets to it.
    bool paced = true;
    // Paced: the stick's field clock runs this many parts per million fast
    // (negative: slow) against real time, -1000..1000; a microframe takes
    // 125 us / (1 + ppm * 1e-6).
    double clock_ppm = 0.0;
    // Paced: told, on umockdev's worker thread with the stick's lock held,
    // when a field carrying the picture's sync mark started on the bus
    // (CLOCK_MONOTONIC, ns). Marks come once their packets are made, at the
    // end of their URB's bus time, or for microframes nobody queued an URB
    // for, when the next URB is queued.
    std::function<void(int64_t monotonic_ns)> sync_mark;
  };

  // Builds the testbed; null with a message in *error when it cannot.
  // No models gives a bus without the stick.
  static std::unique_ptr<usbfs_stick> create(std::vector<std::shared_ptr<virtual_stick>> models, std::string* error);
  static std::unique_ptr<usbfs_stick> create(std::vector<std::shared_ptr<virtual_stick>> models, const options& opts,
                                             std::string* error);
  ~usbfs_stick();
  usbfs_stick(const usbfs_stick&) = delete;
  usbfs_stick& operator=(const usbfs_stick&) = delete;

  // The testbed root: UMOCKDEV_DIR for programs that should see the stick.
  const std::string& root_dir() const;
  size_t size() const;
  int bus(size_t index) const;
  int address(size_t index) const;
  std::string device_node(size_t index) const;  // "/dev/bus/usb/001/002"

  // What fills the isochronous URBs on endpoint 0x82. By default the model's
  // own stream (virtual_stick::stream_packets): empty packets, as the bridge
  // sends them, until capture is enabled. Null restores that default.
  void set_iso_source(size_t index, std::shared_ptr<iso_source> source);

  // Pulls the stick out: the model is unplugged, URBs in flight end with
  // -ESHUTDOWN and stay reapable, every other request fails with ENODEV.
  void unplug(size_t index);
  // Plugs it in again: power-on state, configured and bound as when it was
  // first plugged. Nodes opened before stay dead; a new open reaches it.
  void replug(size_t index);

  struct impl;

 private:
  usbfs_stick() = default;

  std::shared_ptr<impl> impl_;
  struct testbed;
  std::unique_ptr<testbed> testbed_;
};
