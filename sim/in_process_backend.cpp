#include "sim/in_process_backend.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim/bus_schedule.h"
#include "sim/stick_sound.h"

namespace {

using bus_clock = std::chrono::steady_clock;

int64_t ns_of(bus_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}
bus_clock::time_point time_of(int64_t ns) { return bus_clock::time_point(std::chrono::nanoseconds(ns)); }

struct in_process_iso : usb_iso_context {
  unsigned char endpoint = 0;
  int packet_size = 0;
  unsigned char* region = nullptr;
  int packets = 0;
  bool submitted = false;
  int64_t start_ns = 0;   // the first packet's microframe
  uint64_t first_mf = 0;  // the same, counted from the bus schedule's start
  bus_clock::time_point done;
};

// An open handle on one virtual stick. It claims as libusb does with
// auto-detach: a kernel driver on the interface is set aside, and gets the
// interface back when the handle goes.
class in_process_device : public usb_device {
 public:
  in_process_device(std::shared_ptr<virtual_stick> stick, bool paced, double ppm, int owner,
                    in_process_backend::sync_mark_listener listener)
      : stick_(std::move(stick)),
        paced_(paced),
        owner_(owner),
        generation_(stick_->generation()),
        schedule_(ppm),
        listener_(std::move(listener)) {}
  ~in_process_device() override {
    if (!stale() && claimed_ >= 0 && stick_->release_interface(claimed_, owner_) == 0 && detached_)
      stick_->attach_kernel_driver(claimed_);
  }

  int get_configuration() override {
    return stale() || stick_->faults().unplugged ? LIBUSB_ERROR_NO_DEVICE : stick_->configuration();
  }
  int set_configuration(int configuration) override {
    return stale() ? LIBUSB_ERROR_NO_DEVICE : stick_->set_configuration(configuration);
  }
  int claim_interface(int interface_number) override {
    if (stale()) return LIBUSB_ERROR_NO_DEVICE;
    const bool driver_bound = stick_->kernel_driver_active(interface_number);
    if (driver_bound) {
      const int r = stick_->detach_kernel_driver(interface_number);
      if (r < 0) return r;
    }
    const int r = stick_->claim_interface(interface_number, owner_);
    if (r == 0) {
      claimed_ = interface_number;
      detached_ = driver_bound;
    } else if (driver_bound) {
      stick_->attach_kernel_driver(interface_number);  // left as it was found
    }
    return r;
  }
  int set_altinterface(int alternate) override {
    if (stale()) return LIBUSB_ERROR_NO_DEVICE;
    if (claimed_ < 0) return LIBUSB_ERROR_NOT_FOUND;
    return stick_->set_alternate(claimed_, alternate, owner_);
  }
  usb_device_identity identity() override {
    return {stick_->manufacturer, stick_->product_name, stick_hw::sound_control_interface};
  }
  int control_msg(int request_type, int request, int value, int index, unsigned char* data, int length,
                  int timeout_ms) override {
    (void)timeout_ms;  // the model answers at once
    if (stale()) return LIBUSB_ERROR_NO_DEVICE;
    return stick_->control(request_type, request, value, index, data, length);
  }

  int iso_setup(std::unique_ptr<usb_iso_context>& context, unsigned char endpoint, int packet_size) override {
    int result = 0;
    if (stick_->faults().unplugged)
      result = LIBUSB_ERROR_NO_DEVICE;
    else if (endpoint != stick_hw::video_endpoint)
      result = LIBUSB_ERROR_NOT_FOUND;
    else if (packet_size <= 0 || packet_size > stick_hw::iso_packet_size)
      result = LIBUSB_ERROR_INVALID_PARAM;
    stick_->record({stick_op_kind::iso_setup, 0, 0, packet_size, endpoint, 0, result});
    if (result < 0) return result;
    auto iso = std::make_unique<in_process_iso>();
    iso->endpoint = endpoint;
    iso->packet_size = packet_size;
    context = std::move(iso);
    return 0;
  }

  int iso_submit(usb_iso_context* context, unsigned char* region, int size) override {
    auto* iso = static_cast<in_process_iso*>(context);
    if (!iso) return LIBUSB_ERROR_INVALID_PARAM;
    if (stale() || stick_->faults().unplugged) return LIBUSB_ERROR_NO_DEVICE;
    deliver_late_cancels();
    // As usbfs: packets larger than the alternate setting allows are refused.
    if (iso->packet_size > stick_->video_packet_limit()) return LIBUSB_ERROR_INVALID_PARAM;
    if (iso->submitted) return LIBUSB_ERROR_BUSY;
    const int packets = (size - 4) / (iso->packet_size + 12);
    if (packets <= 0 || !region) return LIBUSB_ERROR_INVALID_PARAM;
    iso->region = region;
    iso->packets = packets;
    iso->submitted = true;
    const auto now = bus_clock::now();
    if (paced_) {
      const bus_schedule::slot slot = schedule_.queue(ns_of(now), packets);
      iso->start_ns = slot.start_ns;
      iso->first_mf = slot.first;
      iso->done = time_of(slot.end_ns);
    } else {
      iso->done = now;
    }
    return 0;
  }

  int iso_reap(usb_iso_context* context, int timeout_ms) override {
    auto* iso = static_cast<in_process_iso*>(context);
    if (!iso) return LIBUSB_ERROR_INVALID_PARAM;
    if (!iso->submitted) return stale() || stick_->faults().unplugged ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_NOT_FOUND;
    if (stale()) {
      iso->submitted = false;
      return LIBUSB_ERROR_NO_DEVICE;
    }
    // A busy computer holds up the thread that reaps; the bus goes on.
    if (const int stall_ms = stick_->next_reap_stall_ms(); stall_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(stall_ms));
    const stick_faults faults = stick_->faults();
    const auto deadline = bus_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (faults.stalled || iso->done > deadline) {
      std::this_thread::sleep_until(deadline);
      return LIBUSB_ERROR_TIMEOUT;
    }
    std::this_thread::sleep_until(iso->done);
    iso->submitted = false;
    // The model makes its stream as transfers are reaped; microframes
    // before this transfer's that no transfer took (nothing was queued, or
    // a transfer was cancelled) carried data nobody received.
    if (paced_) catch_up(iso->first_mf);
    if (stick_->next_reap_fails()) {
      // A bus error ends the transfer, not its bus time: the stick's packets
      // in those microframes are lost.
      stick_->skip_microframes(uint64_t(iso->packets), &marks_);
      if (paced_) tell_marks(iso->start_ns);
      streamed_mf_ = iso->first_mf + uint64_t(iso->packets);
      return LIBUSB_ERROR_IO;
    }

    const int header = iso_region_header_size(iso->packets);
    lengths_.resize(size_t(iso->packets));
    statuses_.resize(size_t(iso->packets));
    const int total = stick_->stream_packets(iso->packets, iso->packet_size, iso->region + header, lengths_.data(),
                                             statuses_.data(), &marks_);
    if (paced_) tell_marks(iso->start_ns);
    streamed_mf_ = iso->first_mf + uint64_t(iso->packets);
    if (total < 0) return total;
    const uint32_t count =
        faults.packet_count_override >= 0 ? uint32_t(faults.packet_count_override) : uint32_t(iso->packets);
    std::memcpy(iso->region, &count, 4);
    for (int k = 0; k < iso->packets; ++k) {
      const uint32_t offset = uint32_t(header + k * iso->packet_size);
      const uint32_t length = uint32_t(lengths_[size_t(k)]);
      const int32_t status = statuses_[size_t(k)];
      unsigned char* d = iso->region + 4 + 12 * k;
      std::memcpy(d, &offset, 4);
      std::memcpy(d + 4, &length, 4);
      std::memcpy(d + 8, &status, 4);
    }
    return total;
  }

  int iso_release(std::unique_ptr<usb_iso_context>& context) override {
    auto* iso = static_cast<in_process_iso*>(context.get());
    int result = 0;
    if (iso) {
      // Nothing of the model writes a region outside a reap, so a transfer
      // still queued is cancelled by forgetting it; unless the stick is told
      // to be slow, and the cancelled transfer comes back after the release
      // gave up on it, into its region, with the next transfer reaped.
      if (iso->submitted && stick_->faults().cancel_delay_ms > 0) {
        late_cancels_.push_back({iso->region, iso_region_header_size(iso->packets)});
        result = LIBUSB_ERROR_TIMEOUT;
      }
      stick_->record({stick_op_kind::iso_release, 0, 0, 0, 0, 0, result});
    }
    context.reset();
    return result;
  }

  bool streams_in_real_time() const override { return paced_; }

 private:
  // Opened before the stick was pulled out and plugged in again.
  bool stale() const { return stick_->generation() != generation_; }

  // Skips the model's stream up to `microframe` of the bus schedule.
  void catch_up(uint64_t microframe) {
    if (microframe <= streamed_mf_) return;
    stick_->skip_microframes(microframe - streamed_mf_, &marks_);
    tell_marks(schedule_.microframe_ns(streamed_mf_));
    streamed_mf_ = microframe;
  }

  // The marks the model just gave, as packets from the one that began at start_ns.
  void tell_marks(int64_t start_ns) {
    if (listener_)
      for (uint64_t k : marks_) listener_(time_of(schedule_.packet_start(start_ns, k)));
    marks_.clear();
  }

  // What a cancelled transfer writes when it finally completes: a header
  // saying that none of its packets arrived.
  void deliver_late_cancels() {
    for (const late_cancel& late : late_cancels_) std::memset(late.region, 0, size_t(late.header));
    late_cancels_.clear();
  }

  struct late_cancel {
    unsigned char* region;
    int header;
  };
  std::vector<late_cancel> late_cancels_;
  std::shared_ptr<virtual_stick> stick_;
  bool paced_;
  const int owner_;
  const unsigned generation_;
  int claimed_ = -1;
  bool detached_ = false;
  bus_schedule schedule_;
  uint64_t streamed_mf_ = 0;  // the bus schedule's microframes the model's stream has made
  const in_process_backend::sync_mark_listener listener_;
  std::vector<uint64_t> marks_;
  std::vector<int> lengths_;
  std::vector<int> statuses_;
};

}  // namespace

void in_process_backend::add(std::shared_ptr<virtual_stick> stick) {
  std::lock_guard lock(mutex_);
  sticks_.push_back(std::move(stick));
}

void in_process_backend::clear() {
  std::lock_guard lock(mutex_);
  sticks_.clear();
}

void in_process_backend::set_paced(bool paced) {
  std::lock_guard lock(mutex_);
  paced_ = paced;
}

void in_process_backend::set_clock_ppm(double ppm) {
  std::lock_guard lock(mutex_);
  clock_ppm_ = std::clamp(ppm, -bus_schedule::max_ppm, bus_schedule::max_ppm);
}

void in_process_backend::set_sync_mark_listener(sync_mark_listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

bool in_process_backend::play_sound(const std::string& sink, std::string* error) {
  stick_sound::options opts;
  opts.sink = sink;
  std::shared_ptr<stick_sound> sound = stick_sound::start(opts, error);
  if (!sound) return false;
  std::lock_guard lock(mutex_);
  sound_ = std::move(sound);
  return true;
}

void in_process_backend::stop_sound() {
  std::shared_ptr<stick_sound> sound;
  {
    std::lock_guard lock(mutex_);
    sound = std::move(sound_);
  }
  if (sound) sound->stop();
}

void in_process_backend::set_no_bus(bool no_bus) {
  std::lock_guard lock(mutex_);
  no_bus_ = no_bus;
}

std::vector<usb_device_entry> in_process_backend::list_devices() {
  std::lock_guard lock(mutex_);
  std::vector<usb_device_entry> entries;
  if (no_bus_) return entries;
  for (size_t i = 0; i < sticks_.size(); ++i) {
    if (sticks_[i]->faults().unplugged) continue;
    const int speed = sticks_[i]->plugged().high_speed ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL;
    entries.push_back({1, int(i) + 2, sticks_[i]->vendor, sticks_[i]->product, speed});
  }
  return entries;
}

int in_process_backend::open(const usb_device_entry& entry, std::unique_ptr<usb_device>& device) {
  device.reset();
  std::shared_ptr<virtual_stick> stick;
  bool paced;
  double ppm;
  int owner;
  sync_mark_listener listener;
  {
    std::lock_guard lock(mutex_);
    paced = paced_;
    ppm = clock_ppm_;
    // The test's listener and the sound, both told of every mark.
    if (sound_) {
      listener = [sound = sound_, then = listener_](std::chrono::steady_clock::time_point t) {
        sound->mark(t);
        if (then) then(t);
      };
    } else {
      listener = listener_;
    }
    owner = ++opened_;
    const size_t i = size_t(entry.address - 2);
    if (entry.bus != 1 || entry.address < 2 || i >= sticks_.size()) return LIBUSB_ERROR_NO_DEVICE;
    stick = sticks_[i];
  }
  const int result = stick->open();
  if (result != 0) return result;
  device = std::make_unique<in_process_device>(std::move(stick), paced, ppm, owner, std::move(listener));
  return 0;
}
