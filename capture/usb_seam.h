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
#include <string>
#include <vector>

// Where a device sits and who it claims to be, in bus order.
struct usb_device_entry {
  int bus = 0;
  int address = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
  // The speed it is attached at, as libusb_speed: 0 unknown, 2 full speed
  // (USB 1.1), 3 high speed (USB 2.0).
  int speed = 0;
};

// What the system says about an open device: the strings it reported when it
// was plugged in, and its USB sound function. The sound server names the
// stick's input after these.
struct usb_device_identity {
  std::string manufacturer;  // empty when the device reports none
  std::string product;
  int sound_interface = -1;  // the audio control interface, -1 when there is none
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

// An open device. Destroying it releases the claimed interface, which gives
// it back to the kernel driver that the claim set aside, and closes it.
class usb_device {
 public:
  virtual ~usb_device() = default;

  // The active configuration (0: unconfigured), or a negative error.
  virtual int get_configuration() = 0;
  // Refused (LIBUSB_ERROR_BUSY) while any driver holds any interface.
  virtual int set_configuration(int configuration) = 0;
  // Sets aside a kernel driver that holds the interface; refused
  // (LIBUSB_ERROR_BUSY) while another program holds it.
  virtual int claim_interface(int interface_number) = 0;
  virtual int set_altinterface(int alternate) = 0;  // on the claimed interface
  virtual usb_device_identity identity() = 0;

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
  // context. A region must stay valid until its transfer was reaped or its
  // context released; when release fails, the transfer did not come back and
  // may still be written into its region until the device is closed.
  virtual int iso_setup(std::unique_ptr<usb_iso_context>& context, unsigned char endpoint, int packet_size) = 0;
  virtual int iso_submit(usb_iso_context* context, unsigned char* region, int size) = 0;
  virtual int iso_reap(usb_iso_context* context, int timeout_ms) = 0;
  virtual int iso_release(std::unique_ptr<usb_iso_context>& context) = 0;
  // Its stream comes at the bus's pace, so whoever reaps it must keep up
  // in real time (a real stick does; a model run as fast as it is read
  // does not).
  virtual bool streams_in_real_time() const { return true; }
};

// Discovery and opening.
class usb_backend {
 public:
  virtual ~usb_backend() = default;

  // Every device on every bus, in bus order. Empty when there is no bus or
  // the USB layer cannot be initialised.
  virtual std::vector<usb_device_entry> list_devices() = 0;
  // Opens a listed device into `device`; 0, or a negative error
  // (LIBUSB_ERROR_ACCESS: no permission on its device node).
  virtual int open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) = 0;
};

// The backend that newly built capture threads use. Starts as the libusb-1.0
// backend; tests replace it with the virtual stick. Not owned.
usb_backend* default_usb_backend();
void set_default_usb_backend(usb_backend* backend);
