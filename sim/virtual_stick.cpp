#include "sim/virtual_stick.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

using namespace stick_hw;

virtual_stick::virtual_stick() {
  // Power-on state of the AC'97 codec: identification registers answer.
  codec_[0x7C / 2] = codec_vendor_id1;
  codec_[0x7E / 2] = codec_vendor_id2;
  bridge_[reg_serial_status] = serial_done;
}

void virtual_stick::set_faults(const stick_faults& f) {
  std::lock_guard lock(mutex_);
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

int virtual_stick::open() {
  std::lock_guard lock(mutex_);
  int result = faults_.unplugged ? LIBUSB_ERROR_NO_DEVICE : faults_.fail_open ? LIBUSB_ERROR_ACCESS : 0;
  log_.push_back({stick_op_kind::open, 0, 0, 0, 0, 0, result});
  return result;
}

int virtual_stick::set_configuration(int configuration) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (faults_.kernel_driver_bound)
    result = LIBUSB_ERROR_BUSY;  // a bound driver keeps the configuration
  else if (faults_.refuse_configuration)
    result = LIBUSB_ERROR_IO;
  else if (configuration != stick_hw::configuration)
    result = LIBUSB_ERROR_NOT_FOUND;
  else
    configuration_ = configuration;
  log_.push_back({stick_op_kind::set_configuration, 0, 0, configuration, 0, 0, result});
  return result;
}

int virtual_stick::claim_interface(int interface_number) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (configuration_ != stick_hw::configuration || interface_number != stick_hw::interface_number)
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (faults_.kernel_driver_bound || faults_.refuse_interface)
    result = LIBUSB_ERROR_BUSY;
  else
    claimed_ = true;
  log_.push_back({stick_op_kind::claim_interface, 0, 0, 0, interface_number, 0, result});
  return result;
}

int virtual_stick::release_interface(int interface_number) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (!claimed_ || interface_number != stick_hw::interface_number)
    result = LIBUSB_ERROR_NOT_FOUND;
  else
    claimed_ = false;
  log_.push_back({stick_op_kind::release_interface, 0, 0, 0, interface_number, 0, result});
  return result;
}

int virtual_stick::set_alternate(int interface_number, int alternate) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (!claimed_ || interface_number != stick_hw::interface_number)
    result = LIBUSB_ERROR_NOT_FOUND;
  else if (faults_.refuse_alternate || alternate < 0 || alternate >= alternate_settings)
    result = LIBUSB_ERROR_IO;
  else
    alternate_ = alternate;
  log_.push_back({stick_op_kind::set_alternate, 0, 0, alternate, interface_number, 0, result});
  return result;
}

bool virtual_stick::kernel_driver_active(int interface_number) const {
  std::lock_guard lock(mutex_);
  return interface_number == stick_hw::interface_number && faults_.kernel_driver_bound;
}

int virtual_stick::detach_kernel_driver(int interface_number) {
  std::lock_guard lock(mutex_);
  int result = 0;
  if (faults_.unplugged)
    result = LIBUSB_ERROR_NO_DEVICE;
  else if (interface_number != stick_hw::interface_number || !faults_.kernel_driver_bound)
    result = LIBUSB_ERROR_NOT_FOUND;
  else
    faults_.kernel_driver_bound = false;
  log_.push_back({stick_op_kind::detach_kernel_driver, 0, 0, 0, interface_number, 0, result});
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
    if (reg == reg_codec_command) codec_command_locked(byte);
    return 0;
  }
  if (request_type == standard_out && request == request_set_feature) {
    return length == 0 ? 0 : LIBUSB_ERROR_PIPE;
  }
  return LIBUSB_ERROR_PIPE;  // the bridge stalls what it does not know
}

void virtual_stick::serial_write_locked() {
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
  return decoder_[reg];
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
  return claimed_;
}

int virtual_stick::alternate() const {
  std::lock_guard lock(mutex_);
  return alternate_;
}

bool virtual_stick::capture_enabled() const {
  std::lock_guard lock(mutex_);
  return alternate_ == streaming_alternate && (bridge_[reg_capture_control] & 0x80);
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
  return g;
}

stream_geometry virtual_stick::geometry() const {
  std::lock_guard lock(mutex_);
  return geometry_locked();
}

uint32_t virtual_stick::stream_field_number() const {
  std::lock_guard lock(mutex_);
  return stream_.field_number();
}

bool virtual_stick::next_reap_fails() {
  std::lock_guard lock(mutex_);
  ++reaps_;
  return faults_.reap_error_every > 0 && reaps_ % uint64_t(faults_.reap_error_every) == 0;
}

void virtual_stick::skip_microframes(uint64_t count) {
  std::lock_guard lock(mutex_);
  stream_.skip(count, geometry_locked());
}

int virtual_stick::stream_packets(int count, int packet_size, unsigned char* data, int* lengths, int* statuses) {
  std::lock_guard lock(mutex_);
  if (faults_.unplugged) return LIBUSB_ERROR_NO_DEVICE;
  const bool enabled = alternate_ == streaming_alternate && (bridge_[reg_capture_control] & 0x80);
  const stream_geometry g = geometry_locked();
  auto every = [this](int n) { return n > 0 && data_packets_ % uint64_t(n) == 0; };
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
    if (length > 0) {
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
