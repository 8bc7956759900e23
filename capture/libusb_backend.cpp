#include "capture/libusb_backend.h"

#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

// How long release waits for a cancelled transfer to come back.
constexpr int cancel_wait_ms = 2000;

// One libusb handle, shared by the device and its isochronous contexts so
// that it stays open until the last of them is gone.
struct open_handle {
  std::shared_ptr<libusb_context> context;
  libusb_device_handle* handle = nullptr;
  int claimed = -1;
  // Transfers that libusb did not give back after a cancel: freeing them
  // is only safe once the handle is closed.
  std::mutex orphans_mutex;
  std::vector<libusb_transfer*> orphans;

  ~open_handle() {
    // The claim was made with auto-detach, so releasing hands the interface
    // back to the kernel driver it set aside, as a well-behaved program
    // leaves the stick.
    if (claimed >= 0) libusb_release_interface(handle, claimed);
    libusb_close(handle);
    for (libusb_transfer* t : orphans) libusb_free_transfer(t);
  }
};

void LIBUSB_CALL orphan_done(libusb_transfer*) {}

// A libusb transfer status as the seam's negative result.
int transfer_error(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED:
      return LIBUSB_ERROR_INTERRUPTED;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

void put_u32(unsigned char* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

class libusb_iso_context final : public usb_iso_context {
 public:
  libusb_iso_context(std::shared_ptr<open_handle> handle, unsigned char endpoint, int packet_size,
                     libusb_transfer* transfer)
      : handle_(std::move(handle)), transfer_(transfer), endpoint_(endpoint), packet_size_(packet_size) {}
  ~libusb_iso_context() override { release(); }

  int submit(unsigned char* region, int size) {
    if (!transfer_) return LIBUSB_ERROR_NOT_FOUND;
    if (in_flight_) return LIBUSB_ERROR_BUSY;
    if (!region || size < iso_region_size(libusb_backend::iso_packets, packet_size_)) return LIBUSB_ERROR_INVALID_PARAM;
    region_ = region;
    completed_ = 0;
    done_.store(false, std::memory_order_relaxed);
    libusb_fill_iso_transfer(transfer_, handle_->handle, endpoint_,
                             region + iso_region_header_size(libusb_backend::iso_packets),
                             libusb_backend::iso_packets * packet_size_, libusb_backend::iso_packets, &done, this, 0);
    libusb_set_iso_packet_lengths(transfer_, static_cast<unsigned int>(packet_size_));
    const int r = libusb_submit_transfer(transfer_);
    if (r == 0) in_flight_ = true;
    return r;
  }

  int reap(int timeout_ms) {
    if (!transfer_ || !in_flight_) return LIBUSB_ERROR_NOT_FOUND;
    const int r = wait(timeout_ms);
    if (r < 0) return r;
    in_flight_ = false;
    return finish();
  }

  // Cancels a transfer still in flight and waits until libusb gives it back.
  int release() {
    if (!transfer_) return 0;
    int result = 0;
    if (in_flight_) {
      // NOT_FOUND means it completed already and only waits to be reaped.
      libusb_cancel_transfer(transfer_);
      result = wait(cancel_wait_ms);
      if (!done_.load(std::memory_order_acquire)) {
        // libusb still holds it: it is freed when the handle closes.
        transfer_->callback = &orphan_done;
        transfer_->user_data = nullptr;
        std::lock_guard lock(handle_->orphans_mutex);
        handle_->orphans.push_back(transfer_);
        transfer_ = nullptr;
        return result < 0 ? result : LIBUSB_ERROR_TIMEOUT;
      }
      in_flight_ = false;
      result = 0;
    }
    libusb_free_transfer(transfer_);
    transfer_ = nullptr;
    return result;
  }

 private:
  static void LIBUSB_CALL done(libusb_transfer* transfer) {
    // Runs inside libusb's event handling, on whichever thread handles
    // events at the time.
    auto* self = static_cast<libusb_iso_context*>(transfer->user_data);
    self->completed_ = 1;
    self->done_.store(true, std::memory_order_release);
  }

  // Runs libusb's event handling until this transfer completed or the
  // time is up.
  int wait(int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
      if (done_.load(std::memory_order_acquire)) return 0;
      const auto left = std::max(clock::duration::zero(), deadline - clock::now());
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
      timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
      const int r = libusb_handle_events_timeout_completed(handle_->context.get(), &tv, &completed_);
      if (done_.load(std::memory_order_acquire)) return 0;
      if (r < 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT) return r;
      if (clock::now() >= deadline) return LIBUSB_ERROR_TIMEOUT;
    }
  }

  // Writes the region header from the packet descriptors.
  int finish() {
    const int packets = transfer_->num_iso_packets;
    const int header = iso_region_header_size(packets);
    int total = 0;
    put_u32(region_, static_cast<uint32_t>(packets));
    for (int k = 0; k < packets; ++k) {
      const libusb_iso_packet_descriptor& d = transfer_->iso_packet_desc[k];
      unsigned char* entry = region_ + 4 + 12 * k;
      put_u32(entry, static_cast<uint32_t>(header + k * packet_size_));
      put_u32(entry + 4, d.actual_length);
      put_u32(entry + 8, static_cast<uint32_t>(d.status));
      total += static_cast<int>(d.actual_length);
    }
    if (transfer_->status != LIBUSB_TRANSFER_COMPLETED) return transfer_error(transfer_->status);
    return total;
  }

  std::shared_ptr<open_handle> handle_;
  libusb_transfer* transfer_;
  const unsigned char endpoint_;
  const int packet_size_;
  unsigned char* region_ = nullptr;
  bool in_flight_ = false;
  // Set by the callback: completed_ for libusb's own wait, done_ for ours.
  int completed_ = 0;
  std::atomic<bool> done_{false};
};

// One line of a sysfs attribute, without its newline; empty when unreadable.
std::string sysfs_attribute(const std::string& device_dir, const char* name) {
  std::ifstream in(device_dir + "/" + name);
  std::string line;
  std::getline(in, line);
  return line;
}

// The device's directory in sysfs: "<bus>-<port>.<port>...", as the kernel names it.
std::string sysfs_dir(libusb_device* device) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, int(sizeof ports));
  if (n <= 0) return {};
  std::string name = "/sys/bus/usb/devices/" + std::to_string(libusb_get_bus_number(device)) + "-";
  for (int i = 0; i < n; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
  return name;
}

class libusb_open_device final : public usb_device {
 public:
  explicit libusb_open_device(std::shared_ptr<open_handle> handle) : handle_(std::move(handle)) {}

  int get_configuration() override {
    int configuration = 0;
    const int r = libusb_get_configuration(handle_->handle, &configuration);
    return r < 0 ? r : configuration;
  }

  // No driver is detached for this: the sound function's interfaces stay
  // with the system's sound driver, so the caller only sets a configuration
  // that is not already active.
  int set_configuration(int configuration) override { return libusb_set_configuration(handle_->handle, configuration); }

  // Auto-detach is on: a kernel driver on the interface is set aside by the
  // claim and gets it back when the claim is released.
  int claim_interface(int interface_number) override {
    const bool driver_bound = libusb_kernel_driver_active(handle_->handle, interface_number) == 1;
    const int r = libusb_claim_interface(handle_->handle, interface_number);
    if (r == 0) {
      handle_->claimed = interface_number;
    } else if (driver_bound && libusb_kernel_driver_active(handle_->handle, interface_number) == 0) {
      // The driver was set aside for a claim that then failed: the stick
      // is left as it was found.
      libusb_attach_kernel_driver(handle_->handle, interface_number);
    }
    return r;
  }

  int set_altinterface(int alternate) override {
    if (handle_->claimed < 0) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_set_interface_alt_setting(handle_->handle, handle_->claimed, alternate);
  }

  usb_device_identity identity() override {
    usb_device_identity id;
    libusb_device* device = libusb_get_device(handle_->handle);
    // The strings the kernel read from the device when it was plugged in,
    // as udev and the sound server see them; asked of the device itself
    // only when sysfs does not say.
    const std::string dir = sysfs_dir(device);
    if (!dir.empty()) {
      id.manufacturer = sysfs_attribute(dir, "manufacturer");
      id.product = sysfs_attribute(dir, "product");
    }
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) == 0) {
      if (id.manufacturer.empty()) id.manufacturer = string_descriptor(d.iManufacturer);
      if (id.product.empty()) id.product = string_descriptor(d.iProduct);
    }
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) == 0) {
      for (int i = 0; i < config->bNumInterfaces && id.sound_interface < 0; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = interface.altsetting[0];
        if (alt.bInterfaceClass == LIBUSB_CLASS_AUDIO && alt.bInterfaceSubClass == audio_control_subclass)
          id.sound_interface = alt.bInterfaceNumber;
      }
      libusb_free_config_descriptor(config);
    }
    return id;
  }

  int control_msg(int request_type, int request, int value, int index, unsigned char* data, int length,
                  int timeout_ms) override {
    if (length < 0 || length > 0xFFFF || (length > 0 && !data)) return LIBUSB_ERROR_INVALID_PARAM;
    return libusb_control_transfer(handle_->handle, static_cast<uint8_t>(request_type), static_cast<uint8_t>(request),
                                   static_cast<uint16_t>(value), static_cast<uint16_t>(index), data,
                                   static_cast<uint16_t>(length), static_cast<unsigned int>(std::max(timeout_ms, 0)));
  }

  int iso_setup(std::unique_ptr<usb_iso_context>& context, unsigned char endpoint, int packet_size) override {
    context.reset();
    if (packet_size <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_transfer* transfer = libusb_alloc_transfer(libusb_backend::iso_packets);
    if (!transfer) return LIBUSB_ERROR_NO_MEM;
    context = std::make_unique<libusb_iso_context>(handle_, endpoint, packet_size, transfer);
    return 0;
  }

  int iso_submit(usb_iso_context* context, unsigned char* region, int size) override {
    auto* c = dynamic_cast<libusb_iso_context*>(context);
    return c ? c->submit(region, size) : LIBUSB_ERROR_INVALID_PARAM;
  }

  int iso_reap(usb_iso_context* context, int timeout_ms) override {
    auto* c = dynamic_cast<libusb_iso_context*>(context);
    return c ? c->reap(timeout_ms) : LIBUSB_ERROR_INVALID_PARAM;
  }

  int iso_release(std::unique_ptr<usb_iso_context>& context) override {
    int r = 0;
    if (auto* c = dynamic_cast<libusb_iso_context*>(context.get())) r = c->release();
    context.reset();
    return r;
  }

 private:
  static constexpr uint8_t audio_control_subclass = 1;

  std::string string_descriptor(uint8_t index) {
    if (index == 0) return {};
    unsigned char text[256];
    const int n = libusb_get_string_descriptor_ascii(handle_->handle, index, text, int(sizeof text));
    return n > 0 ? std::string(reinterpret_cast<char*>(text), size_t(n)) : std::string();
  }

  std::shared_ptr<open_handle> handle_;
};

}  // namespace

libusb_backend::~libusb_backend() = default;

std::shared_ptr<libusb_context> libusb_backend::context() {
  std::lock_guard lock(mutex_);
  if (!context_) {
    libusb_context* c = nullptr;
    if (libusb_init(&c) == 0) context_ = std::shared_ptr<libusb_context>(c, &libusb_exit);
  }
  return context_;
}

std::vector<usb_device_entry> libusb_backend::list_devices() {
  std::vector<usb_device_entry> entries;
  const std::shared_ptr<libusb_context> ctx = context();
  if (!ctx) return entries;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx.get(), &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    entries.push_back({libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]), d.idVendor, d.idProduct,
                       libusb_get_device_speed(list[i])});
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  std::sort(entries.begin(), entries.end(), [](const usb_device_entry& a, const usb_device_entry& b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return entries;
}

int libusb_backend::open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) {
  device.reset();
  const std::shared_ptr<libusb_context> ctx = context();
  if (!ctx) return LIBUSB_ERROR_OTHER;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx.get(), &list);
  if (n < 0) return int(n);
  libusb_device_handle* h = nullptr;
  int result = LIBUSB_ERROR_NO_DEVICE;
  for (ssize_t i = 0; i < n; ++i) {
    if (libusb_get_bus_number(list[i]) == entry.bus && libusb_get_device_address(list[i]) == entry.address) {
      result = libusb_open(list[i], &h);
      break;
    }
  }
  libusb_free_device_list(list, 1);
  if (result < 0) return result;
  libusb_set_auto_detach_kernel_driver(h, 1);
  auto handle = std::make_shared<open_handle>();
  handle->context = ctx;
  handle->handle = h;
  device = std::make_unique<libusb_open_device>(std::move(handle));
  return 0;
}

namespace {
std::atomic<usb_backend*> default_backend{nullptr};
}  // namespace

usb_backend* default_usb_backend() {
  usb_backend* backend = default_backend.load(std::memory_order_acquire);
  if (backend) return backend;
  static libusb_backend process_backend;
  usb_backend* expected = nullptr;
  default_backend.compare_exchange_strong(expected, &process_backend, std::memory_order_acq_rel);
  return default_backend.load(std::memory_order_acquire);
}

void set_default_usb_backend(usb_backend* backend) { default_backend.store(backend, std::memory_order_release); }
