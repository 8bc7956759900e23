#include "sim/virtual_stick.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

using namespace stick_hw;

virtual_stick::virtual_stick() {
  {
    std::lock_guard lock(mutex_);
    power_on_locked();
  }
  plug(plug_state{});
}

void virtual_stick::power_on_locked() {
  bridge_.fill(0);
  decoder_.fill(0);
  codec_.fill(0);
  // The AC'97 codec's identification registers answer from power-on.
  codec_[0x7C / 2] = codec_vendor_id1;
  codec_[0x7E / 2] = codec_vendor_id2;
  bridge_[reg_serial_status] = serial_done;
  serial_read_pending_ = false;
}

void virtual_stick::replug() {
  {
    std::lock_guard lock(mutex_);
    faults_.unplugged = false;
    ++generation_;
    power_on_locked();
    log_.push_back({stick_op_kind::plugged_in, 0, 0, 0, 0, 0, 0});
  }
  plug(plugged());
}

unsigned virtual_stick::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}

void virtual_stick::plug(const plug_state& state) {
  std::lock_guard lock(mutex_);
  plug_ = state;
  configuration_ = state.configuration;
  holder_.fill(holder::none);
  owner_.fill(0);
  alternate_.fill(0);
  if (configuration_ == stick_hw::configuration) {
    if (state.video_claimed_elsewhere) {
      holder_[interface_number] = holder::program;
      owner_[interface_number] = -1;  // nobody this model's adapters know
    }
    bind_drivers_locked();
  }
}

plug_state virtual_stick::plugged() const {
  std::lock_guard lock(mutex_);
  return plug_;
}

void virtual_stick::set_faults(const stick_faults& f) {
  std::lock_guard lock(mutex_);
  // A bridge that hangs loses its programming: capture stays off after it.
  if (f.registers_silent && !faults_.registers_silent) bridge_[reg_capture_control] &= 0x7F;
  faults_ = f;
}

stick_faults virtual_stick::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void virtual_stick::unplug() {
  std::lock_guard lock(mutex_);
  faults_.unplugged = true;
}

void virtual_stick::record(const stick_op& op) {
  std::lock_guard lock(mutex_);
  log_.push_back(op);
}

namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v & 0xFF));
  out.push_back(uint8_t(v >> 8));
}

constexpr uint8_t dt_device = 1, dt_config = 2, dt_string = 3, dt_interface = 4, dt_endpoint = 5;
constexpr uint8_t cs_interface = 0x24, cs_endpoint = 0x25;
constexpr uint8_t audio_class = 1, audio_control = 1, audio_streaming = 2;
constexpr uint8_t vendor_class = 0xFF;
constexpr uint8_t interrupt_transfer = 0x03, iso_transfer = 0x01, iso_async = 0x04;
constexpr uint8_t request_get_descriptor = 0x06, request_get_configuration = 0x08;
constexpr int standard_in = 0x80;

}  // namespace

std::vector<uint8_t> virtual_stick::descriptors() const {
  std::vector<uint8_t> d = {18, dt_device};
  put16(d, 0x0200);                           // bcdUSB
  d.insert(d.end(), {0x00, 0x00, 0x00, 64});  // class per interface, endpoint 0 of 64 bytes
  put16(d, vendor);
  put16(d, product);
  put16(d, stick_hw::bcd_device);
  d.insert(d.end(), {manufacturer_string, product_string, 0, 1});  // no serial number, one configuration

  std::vector<uint8_t> c = {9, dt_config, 0,  0, uint8_t(interface_count), uint8_t(stick_hw::configuration),
                            0, 0x80,      250};  // bus powered, 500 mA
  // Interface 0, video: every alternate setting has the interrupt endpoint
  // and the isochronous one, with the packet size of that setting.
  for (int alt = 0; alt < alternate_settings; ++alt) {
    c.insert(c.end(), {9, dt_interface, uint8_t(interface_number), uint8_t(alt), 2, vendor_class, vendor_class,
                       vendor_class, 0});
    c.insert(c.end(), {7, dt_endpoint, interrupt_endpoint, interrupt_transfer});
    put16(c, alt == 0 ? 0 : 2);
    c.push_back(5);
    c.insert(c.end(), {7, dt_endpoint, video_endpoint, iso_transfer});
    put16(c, video_max_packet[alt]);
    c.push_back(1);
  }
  // Interface 1, audio control: a stereo digital input, a mute, the stream.
  c.insert(c.end(), {9, dt_interface, uint8_t(sound_control_interface), 0, 0, audio_class, audio_control, 0,
                     sound_interface_string});
  c.insert(c.end(), {9, cs_interface, 0x01, 0x00, 0x01, 9 + 12 + 13 + 9, 0, 1, uint8_t(sound_stream_interface)});
  c.insert(c.end(), {12, cs_interface, 0x02, 1, 0x02, 0x06, 0, 2, 0x03, 0x00, 0, 0});           // input terminal 0x0602
  c.insert(c.end(), {13, cs_interface, 0x06, 2, 1, 2, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0});  // mute only
  c.insert(c.end(), {9, cs_interface, 0x03, 3, 0x01, 0x01, 0, 2, 0});  // output terminal: USB streaming
  // Interface 2, audio streaming: nothing in setting 0; 48 kHz stereo
  // 16-bit PCM in setting 1.
  c.insert(c.end(), {9, dt_interface, uint8_t(sound_stream_interface), 0, 0, audio_class, audio_streaming, 0,
                     sound_interface_string});
  c.insert(c.end(), {9, dt_interface, uint8_t(sound_stream_interface), 1, 1, audio_class, audio_streaming, 0,
                     sound_interface_string});
  c.insert(c.end(), {7, cs_interface, 0x01, 3, 1, 0x01, 0x00});                   // general: PCM from terminal 3
  c.insert(c.end(), {11, cs_interface, 0x02, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00});  // type I, 48000 Hz
  c.insert(c.end(), {9, dt_endpoint, sound_endpoint, uint8_t(iso_transfer | iso_async)});
  put16(c, 256);
  c.insert(c.end(), {4, 0, 0});
  c.insert(c.end(), {7, cs_endpoint, 0x01, 0x00, 0, 0, 0});
  c[2] = uint8_t(c.size() & 0xFF);
  c[3] = uint8_t(c.size() >> 8);
  d.insert(d.end(), c.begin(), c.end());
  return d;
}

int virtual_stick::open() {
  std::lock_guard lock(mutex_);
  int result = faults_.unplugged                          ? LIBUSB_ERROR_NO_DEVICE
               : faults_.fail_open || plug_.no_permission ? LIBUSB_ERROR_ACCESS
                                                          : 0;
  log_.push_back({stick_op_kind::open, 0, 0, 0, 0, 0, result});
  return result;
}

bool virtual_stick::driver_present_locked(int interface_number) const {
  return interface_number == stick_hw::interface_number ? plug_.video_driver : plug_.sound_driver;
}

void virtual_stick::bind_drivers_locked() {
  // The kernel probes its drivers for every interface of a new configuration.
  for (int i = 0; i < interface_count; ++i) {
    if (holder_[size_t(i)] != holder::none || !driver_present_locked(i)) continue;
    holder_[size_t(i)] = i == stick_hw::interface_number ? holder::video_driver : holder::sound_driver;
  }
}

int virtual_stick::set_configuration(int configuration) {
  std::lock_guard lock(mutex_);
  int result = 0;
  const bool held = std::any_of(holder_.begin(), holder_.end(), [](holder h) { return h != holder::none; });
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (held)
    result = LIBUSB_ERROR_BUSY;  // any driver on any interface, a program's claim included
  else if (faults_.refuse_configuration)
    result = LIBUSB_ERROR_IO;
  else if (configuration != 0 && configuration != stick_hw::configuration)
    result = LIBUSB_ERROR_NOT_FOUND;
  if (result == 0) {
    // The same configuration again is a light reset: every interface back
    // to its first alternate setting.
    alternate_.fill(0);
    const bool changed = configuration != configuration_;
    configuration_ = configuration;
    if (changed && configuration_ == stick_hw::configuration) bind_drivers_locked();
  }
  log_.push_back({stick_op_kind::set_configuration, 0, 0, configuration, 0, 0, result});
  return result;
}

int virtual_stick::claim_interface(int interface_number, int owner) {
  std::lock_guard lock(mutex_);
  int result = 0;
  const size_t i = size_t(interface_number);
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (configuration_ != stick_hw::configuration || !valid_interface(interface_number))
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (holder_[i] == holder::program && owner_[i] == owner)
    result = 0;
  else if (holder_[i] != holder::none)
    result = LIBUSB_ERROR_BUSY;
  else if (faults_.refuse_interface && interface_number == stick_hw::interface_number)
    result = LIBUSB_ERROR_IO;
  if (result == 0) {
    holder_[i] = holder::program;
    owner_[i] = owner;
  }
  log_.push_back({stick_op_kind::claim_interface, 0, 0, 0, interface_number, 0, result});
  return result;
}

int virtual_stick::release_interface(int interface_number, int owner) {
  std::lock_guard lock(mutex_);
  int result = 0;
  const size_t i = size_t(interface_number);
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (!valid_interface(interface_number) || holder_[i] != holder::program || owner_[i] != owner)
    result = LIBUSB_ERROR_NOT_FOUND;
  if (result == 0) {
    // Unbinding puts the interface back on its first alternate setting.
    holder_[i] = holder::none;
    owner_[i] = 0;
    alternate_[i] = 0;
  }
  log_.push_back({stick_op_kind::release_interface, 0, 0, 0, interface_number, 0, result});
  return result;
}

int virtual_stick::set_alternate(int interface_number, int alternate, int owner) {
  std::lock_guard lock(mutex_);
  int result = 0;
  const size_t i = size_t(interface_number);
  const int alternates = interface_number == stick_hw::interface_number ? alternate_settings
                         : interface_number == sound_stream_interface   ? sound_stream_alternates
                                                                        : 1;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (configuration_ != stick_hw::configuration || !valid_interface(interface_number))
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (holder_[i] != holder::none && !(holder_[i] == holder::program && owner_[i] == owner))
    result = LIBUSB_ERROR_BUSY;
  else if (alternate < 0 || alternate >= alternates)
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (faults_.refuse_alternate)
    result = LIBUSB_ERROR_IO;
  else if (!plug_.high_speed && interface_number == stick_hw::interface_number &&
           bytes_per_microframe(video_max_packet[alternate]) > 1023)
    result = LIBUSB_ERROR_OTHER;  // no periodic bandwidth for it on a full-speed bus
  if (result == 0) {
    // usbfs claims an interface that nobody holds on first use.
    holder_[i] = holder::program;
    owner_[i] = owner;
    alternate_[i] = alternate;
  }
  log_.push_back({stick_op_kind::set_alternate, 0, 0, alternate, interface_number, 0, result});
  return result;
}

std::string virtual_stick::driver(int interface_number) const {
  std::lock_guard lock(mutex_);
  if (!valid_interface(interface_number)) return {};
  switch (holder_[size_t(interface_number)]) {
    case holder::video_driver:
      return video_driver_name;
    case holder::sound_driver:
      return sound_driver_name;
    case holder::program:
      return program_driver_name;
    case holder::none:
      break;
  }
  return {};
}

int virtual_stick::owner(int interface_number) const {
  std::lock_guard lock(mutex_);
  if (!valid_interface(interface_number) || holder_[size_t(interface_number)] != holder::program) return 0;
  return owner_[size_t(interface_number)];
}

bool virtual_stick::kernel_driver_active(int interface_number) const {
  std::lock_guard lock(mutex_);
  if (!valid_interface(interface_number)) return false;
  const holder h = holder_[size_t(interface_number)];
  return h == holder::video_driver || h == holder::sound_driver;
}

int virtual_stick::detach_kernel_driver(int interface_number) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (!valid_interface(interface_number) || holder_[size_t(interface_number)] == holder::none)
    result = LIBUSB_ERROR_NOT_FOUND;
  if (result == 0) {
    holder_[size_t(interface_number)] = holder::none;
    owner_[size_t(interface_number)] = 0;
    alternate_[size_t(interface_number)] = 0;
  }
  log_.push_back({stick_op_kind::detach_kernel_driver, 0, 0, 0, interface_number, 0, result});
  return result;
}

int virtual_stick::attach_kernel_driver(int interface_number) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (!valid_interface(interface_number))
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (holder_[size_t(interface_number)] != holder::none)
    result = LIBUSB_ERROR_BUSY;
  else if (configuration_ == stick_hw::configuration && driver_present_locked(interface_number)) {
    holder_[size_t(interface_number)] =
        interface_number == stick_hw::interface_number ? holder::video_driver : holder::sound_driver;
    result = 1;
  }
  log_.push_back({stick_op_kind::attach_kernel_driver, 0, 0, 0, interface_number, 0, result});
  return result;
}

void virtual_stick::hold_at(int reg) {
  std::lock_guard lock(hold_mutex_);
  hold_register_ = reg;
  holding_ = false;
}

bool virtual_stick::wait_held(int timeout_ms) {
  std::unique_lock lock(hold_mutex_);
  return hold_condition_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return holding_; });
}

void virtual_stick::release_hold() {
  std::lock_guard lock(hold_mutex_);
  hold_register_ = -1;
  hold_condition_.notify_all();
}

void virtual_stick::wait_if_held(int reg) {
  std::unique_lock lock(hold_mutex_);
  if (hold_register_ < 0 || reg != hold_register_) return;
  holding_ = true;
  hold_condition_.notify_all();
  hold_condition_.wait(lock, [this] { return hold_register_ < 0; });
  holding_ = false;
}

int virtual_stick::control(int request_type, int request, int value, int index, unsigned char* data, int length) {
  if (request_type == vendor_in || request_type == vendor_out) wait_if_held(index & 0xFFFF);
  std::lock_guard lock(mutex_);
  int result = control_locked(request_type, request, value, index, data, length);
  log_.push_back({stick_op_kind::control, request_type, request, value, index, length, result});
  return result;
}

int virtual_stick::control_locked(int request_type, int request, int value, int index, unsigned char* data,
                                  int length) {
  if (faults_.unplugged) return LIBUSB_ERROR_NO_DEVICE;
  if (faults_.registers_silent) return LIBUSB_ERROR_TIMEOUT;
  if (length < 0 || (length > 0 && !data)) return LIBUSB_ERROR_INVALID_PARAM;
  const int reg = index & 0xFFFF;
  if ((request_type == vendor_in || request_type == vendor_out) && reg < int(bridge_.size())) {
    if (auto forced = faults_.control_results.find(reg); forced != faults_.control_results.end()) {
      if (request_type == vendor_in && forced->second > 0 && length > 0) data[0] = bridge_[reg];
      return forced->second;
    }
  }

  if (request_type == vendor_in && request == request_read) {
    if (length < 1 || reg >= int(bridge_.size())) return LIBUSB_ERROR_PIPE;
    if (reg == reg_serial_status || reg == reg_serial_read_data) serial_read_finish_locked();
    data[0] = bridge_[reg];
    return 1;
  }
  if (request_type == vendor_out && request == request_write) {
    if (length != 0 || reg >= int(bridge_.size())) return LIBUSB_ERROR_PIPE;
    // The registers are 8 bits wide: a 16-bit wValue keeps its low byte.
    const uint8_t byte = uint8_t(value & 0xFF);
    if (reg == reg_serial_status) return 0;  // read-only
    bridge_[reg] = byte;
    if (reg == reg_serial_control && byte == serial_start_write) serial_write_locked();
    if (reg == reg_serial_control && byte == serial_start_read) serial_read_start_locked();
    if (reg == reg_codec_command) codec_command_locked(byte);
    return 0;
  }
  if (request_type == standard_out && request == request_set_feature) {
    return length == 0 ? 0 : LIBUSB_ERROR_PIPE;
  }
  if (request_type == standard_in) return standard_request_locked(request, value, index, data, length);
  return LIBUSB_ERROR_PIPE;  // the bridge stalls what it does not know
}

int virtual_stick::standard_request_locked(int request, int value, int index, unsigned char* data, int length) {
  std::vector<uint8_t> answer;
  if (request == request_get_configuration) {
    answer = {uint8_t(configuration_)};
  } else if (request == request_get_descriptor) {
    const int type = value >> 8, number = value & 0xFF;
    const std::vector<uint8_t> all = descriptors();
    if (type == dt_device && number == 0) {
      answer.assign(all.begin(), all.begin() + 18);
    } else if (type == dt_config && number == 0) {
      answer.assign(all.begin() + 18, all.end());
    } else if (type == dt_string && number == 0) {
      answer = {4, dt_string};
      put16(answer, language_id);
    } else if (type == dt_string && index == language_id) {
      const std::string text = number == manufacturer_string      ? manufacturer
                               : number == product_string         ? product_name
                               : number == sound_interface_string ? std::string(sound_interface_text)
                                                                  : std::string();
      if (text.empty()) return LIBUSB_ERROR_PIPE;
      answer = {uint8_t(2 + 2 * text.size()), dt_string};
      for (char ch : text) put16(answer, uint8_t(ch));  // UTF-16LE of the ASCII text
    }
  }
  if (answer.empty()) return LIBUSB_ERROR_PIPE;
  const int n = std::min(length, int(answer.size()));
  if (n > 0) std::memcpy(data, answer.data(), size_t(n));
  return n;
}

void virtual_stick::serial_write_locked() {
  serial_read_pending_ = false;  // a new transaction ends any read on the bus
  const uint8_t address = bridge_[reg_serial_address];
  const uint8_t sub = bridge_[reg_serial_subaddress];
  const uint8_t data = bridge_[reg_serial_data];
  uint8_t status = serial_nack;
  if (address == decoder_address) {
    decoder_[sub] = data;
    status = uint8_t(faults_.serial_status);
  }
  bridge_[reg_serial_status] = status;
  log_.push_back({stick_op_kind::decoder_write, 0, 0, data, sub, 0, status});
}

void virtual_stick::serial_read_start_locked() {
  if (bridge_[reg_serial_address] != decoder_address) {
    // Nobody answers the address: no byte comes, 0x209 keeps what it had.
    serial_read_pending_ = false;
    bridge_[reg_serial_status] = serial_nack;
    return;
  }
  serial_read_pending_ = true;
  serial_read_due_ = std::chrono::steady_clock::now() + std::chrono::microseconds(serial_read_us);
  bridge_[reg_serial_status] = serial_busy;
}

// The host looks at the status or the data: a read whose bus time is over
// has its byte.
void virtual_stick::serial_read_finish_locked() {
  if (!serial_read_pending_ || std::chrono::steady_clock::now() < serial_read_due_) return;
  serial_read_pending_ = false;
  const uint8_t sub = bridge_[reg_serial_read_subaddress];
  const uint8_t value = sub == decoder_status ? decoder_status_locked() : decoder_[sub];
  bridge_[reg_serial_read_data] = value;
  bridge_[reg_serial_status] = serial_read_done;
  log_.push_back({stick_op_kind::decoder_read, 0, 0, value, sub, 0, serial_read_done});
}

virtual_stick::lock_state virtual_stick::signal_lock_locked() const {
  switch (faults_.signal) {
    case signal_fault::none:
      break;
    case signal_fault::no_signal:
      return lock_state::unlocked;
    case signal_fault::fifty_hz_tape:
    case signal_fault::sixty_hz_tape: {
      // The lines lock at either rate; the picture only at the one set.
      const bool set_for_sixty = (decoder_[0x08] & 0x40) != 0;
      return set_for_sixty == (faults_.signal == signal_fault::sixty_hz_tape) ? lock_state::locked
                                                                              : lock_state::other_field_rate;
    }
    case signal_fault::weak: {
      // On the stick's own clock of 8000 microframes a second: locked for
      // 1.2 s, then not for 0.8 s.
      constexpr uint64_t locked_microframes = 9600, cycle_microframes = 16000;
      return stream_.microframe() % cycle_microframes < locked_microframes ? lock_state::locked : lock_state::unlocked;
    }
  }
  return lock_state::locked;
}

// Status byte 2 as the SAA7113 shows it: bit 7 interlace detected, bit 6
// horizontal/vertical loops NOT locked, bit 5 the field rate it sees
// (1: 60 Hz), bit 0 ready for capture.
uint8_t virtual_stick::decoder_status_locked() const {
  constexpr uint8_t interlaced = 0x80, not_locked = 0x40, sixty_hz = 0x20, ready = 0x01;
  const bool set_for_sixty = (decoder_[0x08] & 0x40) != 0;
  switch (signal_lock_locked()) {
    case lock_state::locked:
      return uint8_t(interlaced | ready | (set_for_sixty ? sixty_hz : 0));
    case lock_state::unlocked:
      // Free-running at the rate it is set for.
      return uint8_t(not_locked | (set_for_sixty ? sixty_hz : 0));
    case lock_state::other_field_rate:
      // The lines lock, the vertical loop cannot follow: never ready.
      return uint8_t(interlaced | (set_for_sixty ? 0 : sixty_hz));
  }
  return 0;
}

void virtual_stick::codec_command_locked(uint8_t command) {
  // AC'97 registers are 16 bits at even addresses 0x00..0x7E.
  const uint8_t raw = bridge_[reg_codec_register];
  const uint8_t reg = raw & 0x7F;
  if (command == codec_write_command) {
    const uint16_t value = uint16_t(bridge_[reg_codec_data_lo] | (bridge_[reg_codec_data_hi] << 8));
    if (!faults_.codec_silent) codec_[reg / 2] = value;
    log_.push_back({stick_op_kind::codec_write, 0, 0, value, raw, 0, 0});
  } else if (command == codec_read_command) {
    const uint16_t value = faults_.codec_silent ? 0 : codec_[reg / 2];
    bridge_[reg_codec_data_lo] = uint8_t(value & 0xFF);
    bridge_[reg_codec_data_hi] = uint8_t(value >> 8);
    log_.push_back({stick_op_kind::codec_read, 0, 0, value, raw, 0, 0});
  }
}

uint8_t virtual_stick::bridge(uint16_t reg) const {
  std::lock_guard lock(mutex_);
  return reg < bridge_.size() ? bridge_[reg] : 0;
}

uint8_t virtual_stick::decoder(uint8_t reg) const {
  std::lock_guard lock(mutex_);
  return reg == decoder_status ? decoder_status_locked() : decoder_[reg];
}

uint16_t virtual_stick::codec(uint8_t reg) const {
  std::lock_guard lock(mutex_);
  return codec_[(reg & 0x7F) / 2];
}

int virtual_stick::configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

bool virtual_stick::claimed() const {
  std::lock_guard lock(mutex_);
  return holder_[interface_number] == holder::program;
}

int virtual_stick::alternate(int interface_number) const {
  std::lock_guard lock(mutex_);
  return valid_interface(interface_number) ? alternate_[size_t(interface_number)] : 0;
}

bool virtual_stick::capture_enabled() const {
  std::lock_guard lock(mutex_);
  return alternate_[interface_number] == streaming_alternate && (bridge_[reg_capture_control] & 0x80);
}

int virtual_stick::video_packet_limit() const {
  std::lock_guard lock(mutex_);
  if (configuration_ != stick_hw::configuration) return 0;
  return bytes_per_microframe(video_max_packet[alternate_[interface_number]]);
}

stream_geometry virtual_stick::geometry_locked() const {
  auto word = [this](uint16_t low, uint16_t high) { return bridge_[low] | (bridge_[high] << 8); };
  stream_geometry g;
  g.lines = word(reg_window_end_y_lo, reg_window_end_y_hi) - word(reg_window_start_y_lo, reg_window_start_y_hi);
  g.line_bytes = word(reg_window_end_x_lo, reg_window_end_x_hi) - word(reg_window_start_x_lo, reg_window_start_x_hi);
  g.sixty_hz = (decoder_[0x08] & 0x40) != 0;
  g.programmed.input_mode = decoder_[0x02] & 0x0F;
  g.programmed.sixty_hz = g.sixty_hz;
  g.programmed.colour_standard = (decoder_[0x0E] >> 4) & 7;
  g.programmed.channel = (bridge_[reg_input_routing] >> 3) & 3;
  g.moving = faults_.film_tape ? test_pattern::motion::film : test_pattern::motion::per_field;
  switch (signal_lock_locked()) {
    case lock_state::locked:
      g.picture = stream_picture::test_pattern;
      break;
    case lock_state::unlocked:
      g.picture = stream_picture::flat;
      break;
    case lock_state::other_field_rate:
      g.picture = stream_picture::rolling;
      break;
  }
  return g;
}

stream_geometry virtual_stick::geometry() const {
  std::lock_guard lock(mutex_);
  return geometry_locked();
}

bool virtual_stick::next_reap_fails() {
  std::lock_guard lock(mutex_);
  ++reaps_;
  return faults_.reap_error_every > 0 && reaps_ % uint64_t(faults_.reap_error_every) == 0;
}

int virtual_stick::next_reap_stall_ms() {
  std::lock_guard lock(mutex_);
  const int every = faults_.reaper_stall_every;
  if (faults_.reaper_stall_ms <= 0 || every <= 0) return 0;
  ++reap_requests_;
  bool stall = reap_requests_ % uint64_t(every) == 0;
  if (faults_.reaper_stall_random) {
    // xorshift64: the same moments on every run.
    stall_random_ ^= stall_random_ << 13;
    stall_random_ ^= stall_random_ >> 7;
    stall_random_ ^= stall_random_ << 17;
    stall = stall_random_ % uint64_t(every) == 0;
  }
  return stall ? faults_.reaper_stall_ms : 0;
}

namespace {
// The stream's marks as offsets from the microframe `first`.
void hand_marks(video_stream& stream, uint64_t first, std::vector<uint64_t>* marks) {
  std::vector<uint64_t> taken = stream.take_marks();
  if (!marks) return;
  marks->clear();
  for (uint64_t m : taken) marks->push_back(m - first);
}
}  // namespace

void virtual_stick::skip_microframes(uint64_t count, std::vector<uint64_t>* marks) {
  std::lock_guard lock(mutex_);
  const uint64_t first = stream_.microframe();
  stream_.skip(count, geometry_locked());
  hand_marks(stream_, first, marks);
}

int virtual_stick::stream_packets(int count, int packet_size, unsigned char* data, int* lengths, int* statuses,
                                  std::vector<uint64_t>* marks) {
  std::lock_guard lock(mutex_);
  if (marks) marks->clear();
  if (faults_.unplugged) return LIBUSB_ERROR_NO_DEVICE;
  const uint64_t first = stream_.microframe();
  const bool enabled = alternate_[interface_number] == streaming_alternate && (bridge_[reg_capture_control] & 0x80) &&
                       !faults_.registers_silent;
  const stream_geometry g = geometry_locked();
  auto every = [this](int n) { return n > 0 && data_packets_ % uint64_t(n) == 0; };
  ++transfers_;
  const bool transfer_lost = faults_.lose_transfer_every > 0 && transfers_ % uint64_t(faults_.lose_transfer_every) == 0;
  int total = 0;
  for (int k = 0; k < count; ++k) {
    unsigned char* packet = data + size_t(k) * size_t(packet_size);
    statuses[k] = 0;
    if (!enabled) {
      stream_.skip(1, g);
      lengths[k] = 0;
      continue;
    }
    int length = stream_.next_packet(g, packet, packet_size);
    const bool field_start = length > 0 && (packet[0] & 0x80) != 0;
    if (field_start) ++field_starts_;
    if (length > 0 && (transfer_lost || (field_start && faults_.lose_field_start_every > 0 &&
                                         field_starts_ % uint64_t(faults_.lose_field_start_every) == 0))) {
      length = 0;
      statuses[k] = -EXDEV;  // usbfs: the packet did not arrive
    } else if (length > 0) {
      ++data_packets_;
      if (every(faults_.lose_packet_every)) {
        length = 0;
        statuses[k] = -EXDEV;  // usbfs: the packet did not arrive
      } else if (every(faults_.truncate_packet_every)) {
        length = std::max(1, length / 2);
      } else if (every(faults_.corrupt_packet_every)) {
        packet[0] ^= 0x80;
      }
    }
    lengths[k] = length;
    total += length;
  }
  hand_marks(stream_, first, marks);
  return total;
}

std::vector<stick_op> virtual_stick::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void virtual_stick::clear_log() {
  std::lock_guard lock(mutex_);
  log_.clear();
}
