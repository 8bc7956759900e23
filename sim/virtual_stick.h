// A software model of the capture stick: the USB bridge with its 8-bit
// register file, the serial bus with the video decoder behind it, the AC'97
// codec path, configuration, interface and alternate settings, faults on
// demand and a log of every operation.
//
// The model knows nothing of how it is reached; adapters put it behind the
// in-process USB seam or behind an emulated usbfs device node. All entry
// points are thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/video_stream.h"

namespace stick_hw {
constexpr uint16_t vendor_id = 0x05E1;
constexpr uint16_t product_id = 0x0408;
constexpr uint16_t bcd_device = 0x0005;
constexpr int configuration = 1;
constexpr int interface_number = 0;         // video, vendor-specific
constexpr int sound_control_interface = 1;  // USB audio class: control
constexpr int sound_stream_interface = 2;   // USB audio class: streaming
constexpr int interface_count = 3;
constexpr int alternate_settings = 6;  // of the video interface: 0..5
constexpr int sound_stream_alternates = 2;
constexpr int streaming_alternate = 5;
constexpr uint8_t interrupt_endpoint = 0x81;
constexpr uint8_t video_endpoint = 0x82;
constexpr uint8_t sound_endpoint = 0x84;
constexpr int iso_packet_size = 3072;  // 1024 bytes x 3 transactions per microframe
// wMaxPacketSize of the video endpoint in each alternate setting: bits 10:0
// the packet, bits 12:11 the extra transactions per microframe.
constexpr uint16_t video_max_packet[alternate_settings] = {0, 0x0300, 0x03FC, 0x0400, 0x0C00, 0x1400};
constexpr int bytes_per_microframe(uint16_t max_packet) {
  return (max_packet & 0x7FF) * (1 + ((max_packet >> 11) & 3));
}
static_assert(bytes_per_microframe(video_max_packet[streaming_alternate]) == iso_packet_size);

// Driver names as the kernel reports them (USBDEVFS_GETDRIVER).
constexpr char video_driver_name[] = "stk1160";
constexpr char sound_driver_name[] = "snd-usb-audio";
constexpr char program_driver_name[] = "usbfs";  // a program holds it through libusb

// String descriptors.
constexpr uint16_t language_id = 0x0409;
constexpr uint8_t manufacturer_string = 1;
constexpr uint8_t product_string = 2;
constexpr uint8_t sound_interface_string = 11;
constexpr char default_manufacturer[] = "Syntek Semiconductor";
constexpr char default_product[] = "USB 2.0 Video Capture Controller";
constexpr char sound_interface_text[] = "USB Audio Interface";

// Bridge registers the model gives meaning to.
constexpr uint16_t reg_input_routing = 0x000;
constexpr uint16_t reg_capture_control = 0x100;  // bit 7: capture enable
constexpr uint16_t reg_window_start_x_lo = 0x110;
constexpr uint16_t reg_window_start_x_hi = 0x111;
constexpr uint16_t reg_window_start_y_lo = 0x112;
constexpr uint16_t reg_window_start_y_hi = 0x113;
constexpr uint16_t reg_window_end_x_lo = 0x114;
constexpr uint16_t reg_window_end_x_hi = 0x115;
constexpr uint16_t reg_window_end_y_lo = 0x116;
constexpr uint16_t reg_window_end_y_hi = 0x117;
constexpr uint16_t reg_serial_control = 0x200;  // write 0x01: start a write, 0x20: start a read
constexpr uint16_t reg_serial_status = 0x201;   // 0x04: write acknowledged, 0x01: read done
constexpr uint16_t reg_serial_address = 0x203;
constexpr uint16_t reg_serial_subaddress = 0x204;
constexpr uint16_t reg_serial_data = 0x205;
constexpr uint16_t reg_serial_read_subaddress = 0x208;
constexpr uint16_t reg_serial_read_data = 0x209;
constexpr uint16_t reg_codec_command = 0x500;  // 0x8C write, 0x8B read
constexpr uint16_t reg_codec_data_lo = 0x502;
constexpr uint16_t reg_codec_data_hi = 0x503;
constexpr uint16_t reg_codec_register = 0x504;

constexpr uint8_t serial_start_write = 0x01;
constexpr uint8_t serial_done = 0x04;
constexpr uint8_t serial_start_read = 0x20;
constexpr uint8_t serial_read_done = 0x01;
constexpr uint8_t serial_busy = 0x00;  // a read still on the bus
// A read transaction takes this long on the bus (address, sub-address,
// repeated start, address, data byte at the bridge's serial clock).
constexpr int serial_read_us = 300;
constexpr uint8_t serial_nack = 0x0C;  // what the bridge shows when nobody answers
constexpr uint8_t decoder_address = 0x4A;
constexpr uint8_t decoder_status = 0x1F;  // the decoder's status byte, read only
constexpr uint8_t codec_write_command = 0x8C;
constexpr uint8_t codec_read_command = 0x8B;

// Control request fields as the bridge understands them.
constexpr int vendor_in = 0xC0;
constexpr int vendor_out = 0x40;
constexpr int standard_out = 0x00;
constexpr int request_read = 0x00;
constexpr int request_write = 0x01;
constexpr int request_set_feature = 0x03;

// AC'97 vendor identification as the codec answers it.
constexpr uint16_t codec_vendor_id1 = 0x414C;
constexpr uint16_t codec_vendor_id2 = 0x4760;
}  // namespace stick_hw

enum class stick_op_kind {
  open,
  set_configuration,
  claim_interface,
  release_interface,
  set_alternate,         // index: the interface
  detach_kernel_driver,  // index: the interface
  attach_kernel_driver,  // index: the interface; result 1 when a driver bound
  control,               // every control transfer, raw
  decoder_write,         // a serial-bus write transaction, as the decoder saw it
  decoder_read,          // a serial-bus read the decoder answered: value the byte, result the status
  codec_write,
  codec_read,
  iso_setup,
  iso_submit,
  iso_reap,
  iso_release,
  plugged_in,  // plugged in again after an unplug
};

struct stick_op {
  stick_op_kind kind = stick_op_kind::control;
  int request_type = 0;
  int request = 0;
  int value = 0;  // wValue; for decoder/codec events the data
  int index = 0;  // wIndex; for decoder/codec events the register; the interface
  int length = 0;
  int result = 0;  // what the operation returned (decoder writes: the status)
  bool operator==(const stick_op&) const = default;
};

// How the stick meets the program: by default as a desktop leaves a freshly
// plugged stick, configured, with the kernel's video driver on interface 0
// and its sound driver on interfaces 1 and 2. The rest is what a user's
// machine may differ in.
struct plug_state {
  int configuration = stick_hw::configuration;  // 0: not configured yet
  bool video_driver = true;                     // stk1160 is there and binds interface 0
  bool sound_driver = true;                     // snd-usb-audio is there and binds interfaces 1 and 2
  bool high_speed = true;                       // false: on a USB 1.1 (full-speed) port
  bool video_claimed_elsewhere = false;         // another program holds interface 0
  bool no_permission = false;                   // the device node is closed to this user
};

// The video signal at the decoder's input.
enum class signal_fault {
  none,           // a good signal at the field rate the decoder is set for
  no_signal,      // nothing to lock to
  fifty_hz_tape,  // a 50 Hz signal (PAL): right only while the decoder is set for 50 Hz
  sixty_hz_tape,  // a 60 Hz signal (NTSC, PAL-60): right only while it is set for 60 Hz
  weak,           // locks and loses lock: 1.2 s on, 0.8 s off, on the stick's clock
};

struct stick_faults {
  bool fail_open = false;  // the stick answers no request at all
  bool refuse_configuration = false;
  bool refuse_interface = false;  // claiming interface 0 fails (not busy: broken)
  bool refuse_alternate = false;
  bool codec_silent = false;                  // no codec on the AC'97 link: every read gives 0
  int serial_status = stick_hw::serial_done;  // what 0x201 shows after a decoder write
  bool unplugged = false;                     // every operation fails with LIBUSB_ERROR_NO_DEVICE
  // Control transfers addressed to these bridge registers return the given
  // result instead of being carried out (0 on a read: no byte came back).
  std::map<int, int> control_results;

  // The video stream. Counts are of packets that carry payload; 0 is off.
  int lose_packet_every = 0;       // arrives empty, with an error status
  int truncate_packet_every = 0;   // loses half its payload
  int corrupt_packet_every = 0;    // its header claims a field start
  int packet_count_override = -1;  // the transfer reports this many packets
  int reap_error_every = 0;        // every Nth reap fails with LIBUSB_ERROR_IO
  int lose_field_start_every = 0;  // one field-start packet in N is lost on the bus
  int lose_transfer_every = 0;     // every Nth transfer loses all its packets on the bus
  // The program's reaping thread is held up for reaper_stall_ms in every
  // reaper_stall_every-th reap (at random, once in that many on average,
  // with reaper_stall_random), as a busy computer holds it up; the bus goes
  // on meanwhile.
  int reaper_stall_ms = 0;
  int reaper_stall_every = 0;
  bool reaper_stall_random = false;
  bool stalled = false;  // transfers never complete: the stick went silent
  // The bridge hangs: every control transfer times out and capture stops
  // (the bridge lost its programming) until this is cleared again.
  bool registers_silent = false;
  // A cancelled isochronous transfer comes back only this long after the
  // cancel (a slow host controller); 0: at once.
  int cancel_delay_ms = 0;
  signal_fault signal = signal_fault::none;
  // The tape holds film (2:2): both fields of each picture show one moment
  // (test_pattern::motion::film).
  bool film_tape = false;
};

class virtual_stick {
 public:
  virtual_stick();

  // Identity on the bus; tests may make a stick that does not match, or one
  // that reports other strings.
  uint16_t vendor = stick_hw::vendor_id;
  uint16_t product = stick_hw::product_id;
  std::string manufacturer = stick_hw::default_manufacturer;
  std::string product_name = stick_hw::default_product;

  // The stick as it is plugged in: configuration, kernel drivers, port.
  // Resets the USB state (configuration, drivers, alternate settings).
  void plug(const plug_state& state);
  plug_state plugged() const;

  // Faults: set before or during use.
  void set_faults(const stick_faults& f);
  stick_faults faults() const;
  void unplug();
  // Plugged in again after an unplug: a new device on the bus, in its
  // power-on state, configured and bound as plug() says. Handles opened
  // before it stay dead (generation() tells them apart).
  void replug();
  unsigned generation() const;

  // What sysfs shows as "descriptors": the device descriptor, then the
  // whole configuration (three interfaces, 251 bytes).
  std::vector<uint8_t> descriptors() const;

  // USB operations as the kernel carries them out, libusb-style results.
  // Interfaces are held by a kernel driver or by a program; `owner` tells
  // programs apart (adapters number their clients from 1).
  int open();
  int set_configuration(int configuration);
  int claim_interface(int interface_number, int owner);
  int release_interface(int interface_number, int owner);
  int set_alternate(int interface_number, int alternate, int owner);
  // "" when nothing holds the interface, else the driver's name
  // (stick_hw::video_driver_name, sound_driver_name, program_driver_name).
  std::string driver(int interface_number) const;
  int owner(int interface_number) const;  // the program holding it, or 0
  bool kernel_driver_active(int interface_number) const;
  int detach_kernel_driver(int interface_number);
  // The kernel probes its drivers for the interface: 1 when one bound.
  int attach_kernel_driver(int interface_number);
  int control(int request_type, int request, int value, int index, unsigned char* data, int length);

  // State, for tests and for the stream.
  uint8_t bridge(uint16_t reg) const;
  uint8_t decoder(uint8_t reg) const;  // as a serial-bus read finds it (0x1F computed)
  uint16_t codec(uint8_t reg) const;
  int configuration() const;
  bool claimed() const;  // interface 0 is held by a program
  int alternate(int interface_number = stick_hw::interface_number) const;
  bool capture_enabled() const;  // alternate 5 and bit 7 of 0x100
  // The most bytes per microframe the video endpoint takes now.
  int video_packet_limit() const;

  // The video stream, one packet per microframe: packet k of `count` goes to
  // data + k * packet_size, its length to lengths[k], its status to
  // statuses[k] (0, or a negative errno as usbfs reports it). Nothing but
  // empty packets unless capture is enabled. Returns the bytes delivered, or
  // LIBUSB_ERROR_NO_DEVICE once unplugged.
  //
  // marks, when given, gets the packets (k) in which a field carrying the
  // picture's sync mark started; for skip_microframes, the microframes
  // counted from the first one skipped. The field clock runs whether or
  // not capture is enabled, so marks come either way.
  int stream_packets(int count, int packet_size, unsigned char* data, int* lengths, int* statuses,
                     std::vector<uint64_t>* marks = nullptr);
  // Microframes with no transfer queued: their data is lost.
  void skip_microframes(uint64_t count, std::vector<uint64_t>* marks = nullptr);
  // What the stream is drawn with, from the registers as programmed now.
  stream_geometry geometry() const;
  // Counts reaps for the reap_error_every fault; true when this one fails.
  bool next_reap_fails();
  // Counts the program's reap requests for the reaper stall fault: how
  // long this one is held up (ms), or 0.
  int next_reap_stall_ms();

  // Tests: the next control transfer on this bridge register waits until
  // release_hold(), so a test can act while the host is mid-programming.
  void hold_at(int reg);
  bool wait_held(int timeout_ms);
  void release_hold();

  std::vector<stick_op> log() const;
  void clear_log();
  void record(const stick_op& op);

 private:
  enum class holder { none, video_driver, sound_driver, program };

  int control_locked(int request_type, int request, int value, int index, unsigned char* data, int length);
  int standard_request_locked(int request, int value, int index, unsigned char* data, int length);
  void serial_write_locked();
  void serial_read_start_locked();
  void serial_read_finish_locked();
  enum class lock_state { locked, unlocked, other_field_rate };
  lock_state signal_lock_locked() const;
  uint8_t decoder_status_locked() const;
  void codec_command_locked(uint8_t command);
  void bind_drivers_locked();
  bool driver_present_locked(int interface_number) const;
  static bool valid_interface(int interface_number) {
    return interface_number >= 0 && interface_number < stick_hw::interface_count;
  }

  void wait_if_held(int reg);

  std::mutex hold_mutex_;
  std::condition_variable hold_condition_;
  int hold_register_ = -1;
  bool holding_ = false;

  mutable std::mutex mutex_;
  stick_faults faults_;
  plug_state plug_;
  std::array<uint8_t, 0x1000> bridge_{};
  std::array<uint8_t, 256> decoder_{};
  std::array<uint16_t, 128> codec_{};
  // A serial-bus read on its way: done at serial_read_due_.
  bool serial_read_pending_ = false;
  std::chrono::steady_clock::time_point serial_read_due_;
  stream_geometry geometry_locked() const;

  video_stream stream_;
  uint64_t data_packets_ = 0;
  uint64_t reaps_ = 0;
  uint64_t field_starts_ = 0;
  uint64_t transfers_ = 0;
  uint64_t reap_requests_ = 0;
  uint64_t stall_random_ = 0x9E3779B97F4A7C15ull;  // the random stalls' generator state
  unsigned generation_ = 0;
  void power_on_locked();
  int configuration_ = 0;
  std::array<holder, stick_hw::interface_count> holder_{};
  std::array<int, stick_hw::interface_count> owner_{};
  std::array<int, stick_hw::interface_count> alternate_{};
  std::vector<stick_op> log_;
};
