// The narrow USB interface the capture thread talks through.
//
// It is shaped like the operations the capture code performs, so that device
// access, programming and streaming read the same whichever backend sits
// below: the real libusb-1.0 backend, or the virtual stick in tests.
// Every result is libusb-style: 0 or a positive count on success, a negative
// LIBUSB_ERROR_* code on failure.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Where a device sits and who it claims to be, in bus order.
struct usb_device_entry {
  int bus = 0;
  int address = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
};

// Isochronous transfer region, as the streaming code parses it:
//   offset 0           uint32 number of packets
//   4 + 12*k           uint32 offset of packet k's data from the region start
//   8 + 12*k           uint32 bytes received in packet k
//   12 + 12*k          int32  status of packet k
//   iso_region_header_size(n) ... packet data, packet k at k * packet_size
constexpr int iso_region_header_size(int packets) { return 4 + 12 * packets; }
constexpr int iso_region_size(int packets, int packet_size) {
  return iso_region_header_size(packets) + packets * packet_size;
}

// One isochronous transfer context: bound to an endpoint and a packet size.
class usb_iso_context {
 public:
  virtual ~usb_iso_context() = default;
};

// An open device.
class usb_device {
 public:
  virtual ~usb_device() = default;

  virtual int set_configuration(int configuration) = 0;
  virtual int claim_interface(int interface_number) = 0;
  virtual int set_altinterface(int alternate) = 0;  // on the claimed interface

  // One control transfer. data may be null when length is 0. Returns the
  // bytes transferred in the data stage, or a negative error.
  virtual int control_msg(int request_type, int request, int value, int index, unsigned char* data, int length,
                          int timeout_ms) = 0;

  // The isochronous service. setup creates a context for an endpoint;
  // submit queues a region (header + data area, iso_region_size bytes);
  // reap waits up to timeout_ms for that context's transfer to complete,
  // fills the region header and returns the bytes received (0 if none), or
  // a negative error (LIBUSB_ERROR_TIMEOUT when nothing completed in time);
  // release cancels a transfer still in flight, waits for it, and frees the
  // context. A region must stay valid until its transfer was reaped or the
  // context released.
  virtual int iso_setup(std::unique_ptr<usb_iso_context>& context, unsigned char endpoint, int packet_size) = 0;
  virtual int iso_submit(usb_iso_context* context, unsigned char* region, int size) = 0;
  virtual int iso_reap(usb_iso_context* context, int timeout_ms) = 0;
  virtual int iso_release(std::unique_ptr<usb_iso_context>& context) = 0;
};

// Discovery and opening.
class usb_backend {
 public:
  virtual ~usb_backend() = default;

  // Every device on every bus, in bus order. Empty when there is no bus or
  // the USB layer cannot be initialised.
  virtual std::vector<usb_device_entry> list_devices() = 0;
  // Opens a listed device; null when it cannot be opened.
  virtual std::unique_ptr<usb_device> open(const usb_device_entry& entry) = 0;
};

// The backend that newly built capture threads use. Starts as the libusb-1.0
// backend; tests replace it with the virtual stick. Not owned.
usb_backend* default_usb_backend();
void set_default_usb_backend(usb_backend* backend);
