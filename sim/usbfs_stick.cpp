#include "sim/usbfs_stick.h"

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "sim/bus_schedule.h"

using namespace stick_hw;

namespace {

constexpr int bus_number = 1;
constexpr int first_address = 2;
// How often the worker looks for clients that closed the device node
// (umockdev does not tell).
constexpr int64_t client_check_us = 50000;
constexpr int max_iso_packets_per_urb = 128;  // as usbfs
constexpr uint8_t setup_size = 8;

constexpr uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// What the kernel's usbfs answers for a failure the model reports.
int errno_for(int result, int not_found) {
  switch (result) {
    case LIBUSB_ERROR_NO_DEVICE:
      return ENODEV;
    case LIBUSB_ERROR_BUSY:
      return EBUSY;
    case LIBUSB_ERROR_NOT_FOUND:
      return not_found;
    case LIBUSB_ERROR_ACCESS:
      return EACCES;
    case LIBUSB_ERROR_INVALID_PARAM:
      return EINVAL;
    case LIBUSB_ERROR_PIPE:
      return EPIPE;
    case LIBUSB_ERROR_TIMEOUT:
      return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW:
      return EOVERFLOW;
    case LIBUSB_ERROR_NO_MEM:
      return ENOMEM;
    case LIBUSB_ERROR_INTERRUPTED:
      return EINTR;
    case LIBUSB_ERROR_OTHER:
      return ENOSPC;  // what the kernel says when the bus has no bandwidth left
    default:
      return EIO;
  }
}

// The libusb-style result libusb would make of an errno, for the model log.
int libusb_result_for(int error) {
  switch (error) {
    case ENODEV:
      return LIBUSB_ERROR_NO_DEVICE;
    case ENOENT:
      return LIBUSB_ERROR_NOT_FOUND;
    case EINVAL:
    case EMSGSIZE:
      return LIBUSB_ERROR_INVALID_PARAM;
    case EBUSY:
      return LIBUSB_ERROR_BUSY;
    default:
      return LIBUSB_ERROR_IO;
  }
}

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// A resolved block of client memory; umockdev hands out a reference.
class client_data {
 public:
  client_data() = default;
  explicit client_data(UMockdevIoctlData* d) : d_(d) {}
  ~client_data() {
    if (d_) g_object_unref(d_);
  }
  client_data(client_data&& o) noexcept : d_(std::exchange(o.d_, nullptr)) {}
  client_data& operator=(client_data&& o) noexcept {
    std::swap(d_, o.d_);
    return *this;
  }
  explicit operator bool() const { return d_ != nullptr; }
  UMockdevIoctlData* get() const { return d_; }
  uint8_t* bytes() const { return d_->data; }
  int size() const { return d_->data_len; }

 private:
  UMockdevIoctlData* d_ = nullptr;
};

// Resolves the pointer at offset in parent to len bytes of client memory;
// changes to them are written back when the request completes.
client_data resolve(UMockdevIoctlData* parent, size_t offset, size_t len) {
  GError* error = nullptr;
  UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, &error);
  if (error) g_error_free(error);
  if (d && size_t(d->data_len) < len) {
    g_object_unref(d);
    return {};
  }
  return client_data(d);
}

// An URB as the device sees it.
struct urb {
  uint64_t address = 0;  // in the client's memory: how it is reaped and discarded
  UMockdevIoctlClient* client = nullptr;
  uint8_t type = 0;
  uint8_t endpoint = 0;
  int buffer_length = 0;
  std::vector<uint32_t> lengths;  // requested, per isochronous packet
  int64_t due_us = 0;             // monotonic time its bus time is over
  int64_t bus_start_ns = 0;       // isochronous: its first packet's microframe begins
  bool held = false;              // never completes by itself: only a discard ends it
  bool cancelled = false;         // discarded, but still on its way back
  // The outcome.
  int status = 0;
  int actual_length = 0;
  int error_count = 0;
  std::vector<uint32_t> actual;
  std::vector<int32_t> packet_status;
  std::vector<uint8_t> payload;  // IN data, packet k at the sum of the lengths before it
};

// The model's own video stream: empty packets until capture is enabled.
class model_stream : public iso_source {
 public:
  explicit model_stream(std::shared_ptr<virtual_stick> model) : model_(std::move(model)) {}
  int fill(int count, int packet_size, unsigned char* data, int* lengths, int* statuses) override {
    return model_->stream_packets(count, packet_size, data, lengths, statuses, &marks_);
  }
  void skip(uint64_t microframes) override { model_->skip_microframes(microframes, &marks_); }
  std::vector<uint64_t> take_marks() override { return std::exchange(marks_, {}); }

 private:
  std::shared_ptr<virtual_stick> model_;
  std::vector<uint64_t> marks_;
};

struct emulated_device {
  std::shared_ptr<virtual_stick> model;
  int address = 0;
  std::string node;    // as clients open it
  std::string sysdir;  // the device's sysfs directory in the testbed
  int fifo = -1;
  bool fifo_full = false;  // a byte in the FIFO: nothing to reap, no POLLOUT
  std::deque<urb> in_flight;
  std::deque<urb> completed;
  bus_schedule iso_schedule;  // the endpoint's: URBs follow each other
  std::shared_ptr<iso_source> source;
};

struct client_state {
  UMockdevIoctlClient* client = nullptr;  // a reference held until it goes
  size_t device = 0;
  int open_result = 0;
  int owner = 0;              // how the model tells this client's claims apart
  unsigned generation = 0;    // opened before the stick was plugged in again: dead
  bool waiting_reap = false;  // blocked in REAPURB
  // A reap request held up (the reaper stall fault) until this monotonic
  // time, -1: none; and whether it was REAPURB.
  int64_t held_reap_until_us = -1;
  bool held_reap_waits = false;
};

gboolean timer_dispatch(GSource*, GSourceFunc callback, gpointer data) { return callback(data); }
GSourceFuncs timer_funcs = {nullptr, nullptr, timer_dispatch, nullptr, nullptr, nullptr};

}  // namespace

struct usbfs_stick::impl : std::enable_shared_from_this<usbfs_stick::impl> {
  std::mutex mutex;
  bool alive = true;
  bool paced = true;
  double clock_ppm = 0.0;
  std::function<void(int64_t)> sync_mark;
  std::vector<emulated_device> devices;
  std::vector<client_state> clients;
  int clients_opened = 0;
  GSource* timer = nullptr;  // on umockdev's worker context, made on first use

  // Everything below runs with mutex held.
  void handle(UMockdevIoctlClient* c);
  void tick();

 private:
  client_state* client_for(UMockdevIoctlClient* c);
  void forget_client(size_t i);
  void submit(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, int owner);
  void submit_control(UMockdevIoctlClient* c, emulated_device& d, client_data& u);
  void submit_iso(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, client_data& u, int owner);
  void discard(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg);
  void reap(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, bool wait);
  void deliver(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, std::deque<urb>::iterator it);
  void finish_iso(emulated_device& d, urb& u, bool unplugged);
  void complete_due(emulated_device& d, int64_t now);
  void retire(emulated_device& d, std::deque<urb>::iterator it);
  void kill_iso(emulated_device& d, int status);
  void hand_to_waiting(emulated_device& d);
  void update_fifo(emulated_device& d);
  void schedule();
  void ensure_timer();
  void release_claims(emulated_device& d, int owner);
  void update_sysfs(emulated_device& d);
  void record_refusal(emulated_device& d, uint8_t endpoint, int bytes, int error);
  void tell_marks(emulated_device& d, int64_t start_ns);

  friend class usbfs_stick;
};

namespace {

void complete(UMockdevIoctlClient* c, long result, int error) { umockdev_ioctl_client_complete(c, result, error); }

// The kernel's USB stack answers a program's requests in its own system
// call and completes transfers from the host controller's interrupt: a busy
// computer's user programs do not hold it up. The worker that plays it here
// runs in real time where the system allows, above the programs' own
// real-time threads, so busy loops do not starve the emulated bus either.
void run_like_the_kernel() {
  static thread_local bool asked = false;
  if (asked) return;
  asked = true;
  sched_param param{};
  param.sched_priority = 20;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer data) {
  run_like_the_kernel();
  const auto& self = *static_cast<std::shared_ptr<usbfs_stick::impl>*>(data);
  std::lock_guard lock(self->mutex);
  if (!self->alive) {
    complete(c, -1, ENODEV);
    return TRUE;
  }
  self->handle(c);
  return TRUE;
}

gboolean on_timer(gpointer data) {
  run_like_the_kernel();
  const auto& self = *static_cast<std::shared_ptr<usbfs_stick::impl>*>(data);
  std::lock_guard lock(self->mutex);
  if (!self->alive) return G_SOURCE_REMOVE;
  self->tick();
  return G_SOURCE_CONTINUE;
}

void drop_impl_ref(gpointer data) { delete static_cast<std::shared_ptr<usbfs_stick::impl>*>(data); }
void drop_impl_ref_closure(gpointer data, GClosure*) { drop_impl_ref(data); }

}  // namespace

client_state* usbfs_stick::impl::client_for(UMockdevIoctlClient* c) {
  for (client_state& s : clients)
    if (s.client == c) return &s;
  const char* node = umockdev_ioctl_client_get_devnode(c);
  for (size_t i = 0; i < devices.size(); ++i) {
    if (node && devices[i].node == node) {
      // The first request on a newly opened node: the open as the stick sees it.
      clients.push_back({static_cast<UMockdevIoctlClient*>(g_object_ref(c)), i, devices[i].model->open(),
                         ++clients_opened, devices[i].model->generation(), false});
      ensure_timer();
      schedule();
      return &clients.back();
    }
  }
  return nullptr;
}

void usbfs_stick::impl::forget_client(size_t i) {
  UMockdevIoctlClient* c = clients[i].client;
  emulated_device& d = devices[clients[i].device];
  auto mine = [c](const urb& u) { return u.client == c; };
  d.in_flight.erase(std::remove_if(d.in_flight.begin(), d.in_flight.end(), mine), d.in_flight.end());
  d.completed.erase(std::remove_if(d.completed.begin(), d.completed.end(), mine), d.completed.end());
  // Closing the node gives up its interfaces, as the kernel does; it does
  // not bring back the drivers that were set aside.
  release_claims(d, clients[i].owner);
  update_fifo(d);
  clients.erase(clients.begin() + ptrdiff_t(i));
  g_object_unref(c);
}

void usbfs_stick::impl::release_claims(emulated_device& d, int owner) {
  if (d.model->faults().unplugged) return;
  for (int i = 0; i < interface_count; ++i)
    if (d.model->owner(i) == owner) d.model->release_interface(i, owner);
}

// What sysfs shows of the state the program can change.
void usbfs_stick::impl::update_sysfs(emulated_device& d) {
  if (FILE* f = std::fopen((d.sysdir + "/bConfigurationValue").c_str(), "w")) {
    const int config = d.model->configuration();
    if (config) std::fprintf(f, "%d\n", config);
    std::fclose(f);
  }
}

void usbfs_stick::impl::handle(UMockdevIoctlClient* c) {
  const unsigned long request = umockdev_ioctl_client_get_request(c);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
  client_state* state = client_for(c);
  if (!state) {
    complete(c, -1, ENODEV);
    return;
  }
  emulated_device& d = devices[state->device];

  // Reaping works after a disconnect: what completed can still be collected.
  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
    if (const int stall_ms = d.model->next_reap_stall_ms(); stall_ms > 0) {
      // The program's reaping thread waits in this request; the bus goes on.
      state->held_reap_until_us = g_get_monotonic_time() + int64_t(stall_ms) * 1000;
      state->held_reap_waits = request == USBDEVFS_REAPURB;
      schedule();
      return;
    }
    reap(c, d, arg, request == USBDEVFS_REAPURB);
    return;
  }
  if (state->open_result != 0) {
    complete(c, -1, errno_for(state->open_result, ENODEV));
    return;
  }
  if (d.model->faults().unplugged || state->generation != d.model->generation()) {
    complete(c, -1, ENODEV);
    return;
  }

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      client_data caps = resolve(arg, 0, sizeof(uint32_t));
      if (!caps) return complete(c, -1, EFAULT);
      const uint32_t value = capabilities;
      std::memcpy(caps.bytes(), &value, sizeof value);
      return complete(c, 0, 0);
    }
    case USBDEVFS_GETDRIVER: {
      client_data gd = resolve(arg, 0, sizeof(usbdevfs_getdriver));
      if (!gd) return complete(c, -1, EFAULT);
      auto* g = reinterpret_cast<usbdevfs_getdriver*>(gd.bytes());
      const std::string name = d.model->driver(int(g->interface));
      if (name.empty()) return complete(c, -1, ENODATA);
      std::snprintf(g->driver, sizeof g->driver, "%s", name.c_str());
      return complete(c, 0, 0);
    }
    case USBDEVFS_IOCTL: {
      client_data io = resolve(arg, 0, sizeof(usbdevfs_ioctl));
      if (!io) return complete(c, -1, EFAULT);
      const auto* command = reinterpret_cast<const usbdevfs_ioctl*>(io.bytes());
      if (d.model->configuration() != configuration) return complete(c, -1, EHOSTUNREACH);
      if (command->ifno < 0 || command->ifno >= interface_count) return complete(c, -1, EINVAL);
      if (command->ioctl_code == int(USBDEVFS_DISCONNECT)) {
        // Whatever holds the interface lets go; nothing binds again by itself.
        const int r = d.model->detach_kernel_driver(command->ifno);
        return r == 0 ? complete(c, 0, 0) : complete(c, -1, errno_for(r, ENODATA));
      }
      if (command->ioctl_code == int(USBDEVFS_CONNECT)) {
        // The kernel probes its drivers for a free interface: 1 when one bound.
        const int r = d.model->attach_kernel_driver(command->ifno);
        return r >= 0 ? complete(c, r, 0) : complete(c, -1, errno_for(r, EINVAL));
      }
      return complete(c, -1, ENOTTY);
    }
    case USBDEVFS_SETCONFIGURATION: {
      client_data value = resolve(arg, 0, sizeof(unsigned int));
      if (!value) return complete(c, -1, EFAULT);
      int config = 0;
      std::memcpy(&config, value.bytes(), sizeof config);
      // Refused while anything holds any interface, this client included.
      const int r = d.model->set_configuration(config);
      if (r != 0) return complete(c, -1, errno_for(r, EINVAL));
      // Endpoints of the old configuration are gone, and sysfs shows the new one.
      kill_iso(d, -ESHUTDOWN);
      update_sysfs(d);
      return complete(c, 0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE: {
      client_data value = resolve(arg, 0, sizeof(unsigned int));
      if (!value) return complete(c, -1, EFAULT);
      unsigned int ifno = 0;
      std::memcpy(&ifno, value.bytes(), sizeof ifno);
      const int r = d.model->claim_interface(int(ifno), state->owner);
      return r == 0 ? complete(c, 0, 0) : complete(c, -1, errno_for(r, ENOENT));
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      client_data dc_data = resolve(arg, 0, sizeof(usbdevfs_disconnect_claim));
      if (!dc_data) return complete(c, -1, EFAULT);
      auto* dc = reinterpret_cast<usbdevfs_disconnect_claim*>(dc_data.bytes());
      dc->driver[sizeof dc->driver - 1] = 0;
      const int ifno = int(dc->interface);
      if (d.model->configuration() != configuration || ifno < 0 || ifno >= interface_count)
        return complete(c, -1, EINVAL);
      // As the kernel: the flags compare the name of whatever holds the
      // interface (libusb asks to set aside anything but another program),
      // which then lets go, and the claim follows.
      const std::string bound = d.model->driver(ifno);
      if (!bound.empty() && !(bound == program_driver_name && d.model->owner(ifno) == state->owner)) {
        const bool same = bound == dc->driver;
        if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !same) return complete(c, -1, EBUSY);
        if ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && same) return complete(c, -1, EBUSY);
        const int r = d.model->detach_kernel_driver(ifno);
        if (r != 0) return complete(c, -1, errno_for(r, ENODATA));
      }
      const int r = d.model->claim_interface(ifno, state->owner);
      return r == 0 ? complete(c, 0, 0) : complete(c, -1, errno_for(r, ENOENT));
    }
    case USBDEVFS_RELEASEINTERFACE: {
      client_data value = resolve(arg, 0, sizeof(unsigned int));
      if (!value) return complete(c, -1, EFAULT);
      unsigned int ifno = 0;
      std::memcpy(&ifno, value.bytes(), sizeof ifno);
      const int r = d.model->release_interface(int(ifno), state->owner);
      return r == 0 ? complete(c, 0, 0) : complete(c, -1, errno_for(r, EINVAL));
    }
    case USBDEVFS_SETINTERFACE: {
      client_data si_data = resolve(arg, 0, sizeof(usbdevfs_setinterface));
      if (!si_data) return complete(c, -1, EFAULT);
      const auto* si = reinterpret_cast<const usbdevfs_setinterface*>(si_data.bytes());
      const int r = d.model->set_alternate(int(si->interface), int(si->altsetting), state->owner);
      if (r != 0) return complete(c, -1, errno_for(r, EINVAL));
      // Changing the video interface's setting flushes its endpoints.
      if (int(si->interface) == interface_number) kill_iso(d, -ESHUTDOWN);
      return complete(c, 0, 0);
    }
    case USBDEVFS_CONTROL: {
      client_data ct_data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
      if (!ct_data) return complete(c, -1, EFAULT);
      const auto* ct = reinterpret_cast<const usbdevfs_ctrltransfer*>(ct_data.bytes());
      client_data buffer;
      if (ct->wLength > 0) {
        buffer = resolve(ct_data.get(), offsetof(usbdevfs_ctrltransfer, data), ct->wLength);
        if (!buffer) return complete(c, -1, EFAULT);
      }
      const int r = d.model->control(ct->bRequestType, ct->bRequest, ct->wValue, ct->wIndex,
                                     ct->wLength ? buffer.bytes() : nullptr, ct->wLength);
      return r >= 0 ? complete(c, std::min<int>(r, ct->wLength), 0) : complete(c, -1, errno_for(r, EPIPE));
    }
    case USBDEVFS_SUBMITURB:
      return submit(c, d, arg, state->owner);
    case USBDEVFS_DISCARDURB:
      return discard(c, d, arg);
    default:
      return complete(c, -1, ENOTTY);
  }
}

void usbfs_stick::impl::submit(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, int owner) {
  client_data u = resolve(arg, 0, sizeof(usbdevfs_urb));
  if (!u) return complete(c, -1, EFAULT);
  const auto* header = reinterpret_cast<const usbdevfs_urb*>(u.bytes());
  if (header->type == USBDEVFS_URB_TYPE_CONTROL && (header->endpoint & 0x7F) == 0) return submit_control(c, d, u);
  if (header->type == USBDEVFS_URB_TYPE_ISO) return submit_iso(c, d, arg, u, owner);
  // No bulk or interrupt endpoints on this device.
  record_refusal(d, header->endpoint, header->buffer_length, ENOENT);
  complete(c, -1, ENOENT);
}

void usbfs_stick::impl::submit_control(UMockdevIoctlClient* c, emulated_device& d, client_data& u) {
  const auto* header = reinterpret_cast<const usbdevfs_urb*>(u.bytes());
  if (header->buffer_length < setup_size) return complete(c, -1, EINVAL);
  client_data buffer = resolve(u.get(), offsetof(usbdevfs_urb, buffer), size_t(header->buffer_length));
  if (!buffer) return complete(c, -1, EFAULT);
  uint8_t* setup = buffer.bytes();
  const int w_length = le16(setup + 6);
  if (setup_size + w_length > header->buffer_length) return complete(c, -1, EINVAL);

  // The stick answers at once; IN data goes straight into the client's
  // buffer, which the client only reads after reaping.
  const int r = d.model->control(setup[0], setup[1], le16(setup + 2), le16(setup + 4),
                                 w_length ? setup + setup_size : nullptr, w_length);
  urb record;
  record.address = u.get()->client_addr;
  record.client = c;
  record.type = header->type;
  record.endpoint = header->endpoint;
  record.buffer_length = header->buffer_length;
  if (r >= 0) {
    record.actual_length = std::min(r, w_length);
  } else {
    switch (r) {
      case LIBUSB_ERROR_PIPE:
        record.status = -EPIPE;  // the bridge stalled the request
        break;
      case LIBUSB_ERROR_IO:
        record.status = -EPROTO;
        break;
      case LIBUSB_ERROR_OVERFLOW:
        record.status = -EOVERFLOW;
        break;
      case LIBUSB_ERROR_TIMEOUT:
        // No answer: the request stays on the bus until libusb's own
        // timeout discards it.
        record.held = true;
        break;
      default:
        return complete(c, -1, errno_for(r, EPIPE));
    }
  }
  if (record.held) {
    d.in_flight.push_back(std::move(record));
  } else {
    d.completed.push_back(std::move(record));
    hand_to_waiting(d);
    update_fifo(d);
  }
  complete(c, 0, 0);
}

void usbfs_stick::impl::submit_iso(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, client_data& u,
                                   int owner) {
  const auto* header = reinterpret_cast<const usbdevfs_urb*>(u.bytes());
  const uint8_t endpoint = header->endpoint;
  const int packets = header->number_of_packets;
  // As the kernel checks: the endpoint must exist in the configuration, its
  // interface must be this client's (usbfs claims a free one on first use),
  // then the packets must fit the current alternate setting's wMaxPacketSize.
  if (endpoint != video_endpoint || d.model->configuration() != configuration) {
    record_refusal(d, endpoint, header->buffer_length, ENOENT);
    return complete(c, -1, ENOENT);
  }
  if (d.model->owner(interface_number) != owner && d.model->claim_interface(interface_number, owner) != 0) {
    record_refusal(d, endpoint, header->buffer_length, EBUSY);
    return complete(c, -1, EBUSY);
  }
  if (packets <= 0 || packets > max_iso_packets_per_urb) {
    record_refusal(d, endpoint, header->buffer_length, EINVAL);
    return complete(c, -1, EINVAL);
  }

  // The packet descriptors follow the URB, beyond the size the request
  // declares: read the block again at its full length.
  const size_t full = sizeof(usbdevfs_urb) + size_t(packets) * sizeof(usbdevfs_iso_packet_desc);
  UMockdevIoctlData* block = u.get();
  g_free(block->data);
  block->data = static_cast<guint8*>(g_malloc0(full));
  block->data_len = int(full);
  std::memcpy(arg->data, &block->data, sizeof block->data);
  GError* error = nullptr;
  if (!umockdev_ioctl_data_reload(block, &error)) {
    if (error) g_error_free(error);
    return complete(c, -1, EFAULT);
  }
  const auto* whole = reinterpret_cast<const usbdevfs_urb*>(block->data);

  urb record;
  record.address = block->client_addr;
  record.client = c;
  record.type = whole->type;
  record.endpoint = endpoint;
  record.buffer_length = whole->buffer_length;
  int total = 0;
  const int limit = d.model->video_packet_limit();
  for (int k = 0; k < packets; ++k) {
    const uint32_t length = whole->iso_frame_desc[k].length;
    if (limit <= 0 || length > uint32_t(limit)) {
      record_refusal(d, endpoint, whole->buffer_length, EMSGSIZE);
      return complete(c, -1, EMSGSIZE);
    }
    record.lengths.push_back(length);
    total += int(length);
  }
  if (total > whole->buffer_length) {
    record_refusal(d, endpoint, whole->buffer_length, EINVAL);
    return complete(c, -1, EINVAL);
  }

  // The URB takes one microframe per packet, after those queued before it.
  const int64_t now = g_get_monotonic_time();
  if (paced) {
    const bus_schedule::slot slot = d.iso_schedule.queue(now * 1000, packets);
    // Microframes that went by with nothing queued are lost to the stream.
    if (d.source && slot.skipped > 0) {
      d.source->skip(slot.skipped);
      tell_marks(d, slot.skipped_from_ns);
    }
    record.bus_start_ns = slot.start_ns;
    record.due_us = (slot.end_ns + 999) / 1000;
  } else {
    record.due_us = now;
  }
  d.in_flight.push_back(std::move(record));
  schedule();
  complete(c, 0, 0);
}

void usbfs_stick::impl::discard(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg) {
  // The argument is the URB's own address.
  uint64_t address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  for (auto it = d.in_flight.begin(); it != d.in_flight.end(); ++it) {
    if (it->address != address || it->client != c || it->cancelled) continue;
    if (it->type == USBDEVFS_URB_TYPE_ISO) {
      // Packets not yet on the bus keep the status the kernel gives them at submission.
      it->actual.assign(it->lengths.size(), 0);
      it->packet_status.assign(it->lengths.size(), -EXDEV);
      it->error_count = int(it->lengths.size());
    }
    it->status = -ENOENT;
    const int delay_ms = d.model->faults().cancel_delay_ms;
    if (delay_ms > 0 && it->type == USBDEVFS_URB_TYPE_ISO) {
      // A slow host controller: the URB comes back long after the cancel.
      it->cancelled = true;
      it->held = false;
      it->due_us = g_get_monotonic_time() + int64_t(delay_ms) * 1000;
      schedule();
      return complete(c, 0, 0);
    }
    retire(d, it);
    return complete(c, 0, 0);
  }
  // Not in flight: already completed, or never submitted.
  complete(c, -1, EINVAL);
}

void usbfs_stick::impl::reap(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg, bool wait) {
  auto it = std::find_if(d.completed.begin(), d.completed.end(), [c](const urb& u) { return u.client == c; });
  if (it != d.completed.end()) return deliver(c, d, arg, it);
  const bool gone = d.model->faults().unplugged;
  const bool pending = std::any_of(d.in_flight.begin(), d.in_flight.end(), [c](const urb& u) { return u.client == c; });
  if (gone && !pending) return complete(c, -1, ENODEV);
  if (!wait) return complete(c, -1, EAGAIN);
  // REAPURB blocks until one of this client's URBs completes.
  for (client_state& s : clients)
    if (s.client == c) s.waiting_reap = true;
}

void usbfs_stick::impl::deliver(UMockdevIoctlClient* c, emulated_device& d, UMockdevIoctlData* arg,
                                std::deque<urb>::iterator it) {
  urb u = std::move(*it);
  d.completed.erase(it);
  update_fifo(d);

  // The argument points to the client's URB pointer: set it to this URB,
  // then fill in the URB and its packet descriptors.
  client_data pointer = resolve(arg, 0, sizeof(uint64_t));
  if (!pointer) return complete(c, -1, EFAULT);
  std::memcpy(pointer.bytes(), &u.address, sizeof u.address);
  const size_t packets = u.type == USBDEVFS_URB_TYPE_ISO ? u.lengths.size() : 0;
  client_data block = resolve(pointer.get(), 0, sizeof(usbdevfs_urb) + packets * sizeof(usbdevfs_iso_packet_desc));
  if (!block) return complete(c, -1, EFAULT);
  auto* out = reinterpret_cast<usbdevfs_urb*>(block.bytes());
  out->status = u.status;
  out->actual_length = u.actual_length;
  out->error_count = u.error_count;
  out->start_frame = 0;
  for (size_t k = 0; k < packets; ++k) {
    out->iso_frame_desc[k].actual_length = k < u.actual.size() ? u.actual[k] : 0;
    out->iso_frame_desc[k].status = k < u.packet_status.size() ? uint32_t(u.packet_status[k]) : 0;
  }
  if (!u.payload.empty() && (u.endpoint & 0x80)) {
    // Only what arrived is written; the rest of each packet's space keeps
    // whatever the client had there.
    client_data buffer = resolve(block.get(), offsetof(usbdevfs_urb, buffer), size_t(u.buffer_length));
    if (!buffer) return complete(c, -1, EFAULT);
    size_t offset = 0;
    for (size_t k = 0; k < packets && offset < u.payload.size(); offset += u.lengths[k], ++k) {
      const size_t n = std::min({size_t(u.actual[k]), u.payload.size() - offset, size_t(buffer.size()) - offset});
      std::memcpy(buffer.bytes() + offset, u.payload.data() + offset, n);
    }
  }
  complete(c, 0, 0);
}

void usbfs_stick::impl::finish_iso(emulated_device& d, urb& u, bool unplugged) {
  const size_t packets = u.lengths.size();
  u.actual.assign(packets, 0);
  u.packet_status.assign(packets, 0);
  u.actual_length = 0;
  u.error_count = 0;
  if (unplugged) {
    u.status = -ESHUTDOWN;
    u.packet_status.assign(packets, -ESHUTDOWN);
    u.error_count = int(packets);
    return;
  }
  u.status = 0;
  if (!d.source) return;
  if (d.model->next_reap_fails()) {
    // A bus error ends the whole URB, not its bus time: the stick's packets
    // in those microframes are lost.
    d.source->skip(packets);
    if (paced) tell_marks(d, u.bus_start_ns);
    u.status = -EPROTO;
    u.packet_status.assign(packets, -EPROTO);
    u.error_count = int(packets);
    return;
  }

  // The source lays packets out at a fixed stride; usbfs puts packet k at
  // the sum of the lengths requested before it.
  const uint32_t stride = *std::max_element(u.lengths.begin(), u.lengths.end());
  std::vector<uint8_t> packed(packets * stride);
  std::vector<int> lengths(packets, 0), statuses(packets, 0);
  const int r = d.source->fill(int(packets), int(stride), packed.data(), lengths.data(), statuses.data());
  if (paced) tell_marks(d, u.bus_start_ns);
  if (r < 0) {
    u.status = r == LIBUSB_ERROR_NO_DEVICE ? -ESHUTDOWN : -EPROTO;
    u.packet_status.assign(packets, u.status);
    u.error_count = int(packets);
    return;
  }
  int total = 0;
  for (uint32_t length : u.lengths) total += int(length);
  u.payload.assign(size_t(total), 0);
  size_t offset = 0;
  for (size_t k = 0; k < packets; offset += u.lengths[k], ++k) {
    const uint32_t n = uint32_t(std::clamp(lengths[k], 0, int(u.lengths[k])));
    std::memcpy(u.payload.data() + offset, packed.data() + k * stride, n);
    u.actual[k] = n;
    u.packet_status[k] = statuses[k];
    u.actual_length += int(n);
    if (statuses[k] != 0) ++u.error_count;
  }
  if (u.actual_length == 0) u.payload.clear();
}

void usbfs_stick::impl::retire(emulated_device& d, std::deque<urb>::iterator it) {
  d.completed.push_back(std::move(*it));
  d.in_flight.erase(it);
  hand_to_waiting(d);
  update_fifo(d);
}

void usbfs_stick::impl::complete_due(emulated_device& d, int64_t now) {
  // Pulled out: everything on the bus ends at once, as the kernel kills
  // the device's URBs.
  const stick_faults faults = d.model->faults();
  const bool unplugged = faults.unplugged;
  for (auto it = d.in_flight.begin(); it != d.in_flight.end();) {
    // A stalled stick sends nothing: isochronous URBs wait for a discard.
    const bool silent = faults.stalled && it->type == USBDEVFS_URB_TYPE_ISO && !it->cancelled;
    if (!unplugged && (it->held || silent || it->due_us > now)) {
      ++it;
      continue;
    }
    if (it->cancelled)
      ;  // comes back as the cancel left it
    else if (it->type == USBDEVFS_URB_TYPE_ISO)
      finish_iso(d, *it, unplugged);
    else
      it->status = -ESHUTDOWN;
    d.completed.push_back(std::move(*it));
    it = d.in_flight.erase(it);
  }
  if (unplugged) d.iso_schedule.stop();
  hand_to_waiting(d);
  update_fifo(d);
}

void usbfs_stick::impl::kill_iso(emulated_device& d, int status) {
  for (auto it = d.in_flight.begin(); it != d.in_flight.end();) {
    if (it->type != USBDEVFS_URB_TYPE_ISO) {
      ++it;
      continue;
    }
    it->actual.assign(it->lengths.size(), 0);
    it->packet_status.assign(it->lengths.size(), status);
    it->error_count = int(it->lengths.size());
    it->status = status;
    d.completed.push_back(std::move(*it));
    it = d.in_flight.erase(it);
  }
  d.iso_schedule.stop();
  hand_to_waiting(d);
  update_fifo(d);
}

void usbfs_stick::impl::hand_to_waiting(emulated_device& d) {
  for (client_state& s : clients) {
    if (!s.waiting_reap || &devices[s.device] != &d) continue;
    auto it = std::find_if(d.completed.begin(), d.completed.end(), [&](const urb& u) { return u.client == s.client; });
    if (it == d.completed.end()) continue;
    s.waiting_reap = false;
    deliver(s.client, d, umockdev_ioctl_client_get_arg(s.client), it);
  }
}

void usbfs_stick::impl::update_fifo(emulated_device& d) {
  if (d.fifo < 0) return;
  const bool ready = !d.completed.empty();
  char byte = 0;
  if (ready && d.fifo_full) {
    if (read(d.fifo, &byte, 1) == 1) d.fifo_full = false;
  } else if (!ready && !d.fifo_full) {
    if (write(d.fifo, &byte, 1) == 1) d.fifo_full = true;
  }
}

void usbfs_stick::impl::record_refusal(emulated_device& d, uint8_t endpoint, int bytes, int error) {
  d.model->record({stick_op_kind::iso_submit, 0, 0, 0, endpoint, bytes, libusb_result_for(error)});
}

void usbfs_stick::impl::tell_marks(emulated_device& d, int64_t start_ns) {
  const std::vector<uint64_t> marks = d.source->take_marks();
  if (!sync_mark) return;
  for (uint64_t k : marks) sync_mark(d.iso_schedule.packet_start(start_ns, k));
}

void usbfs_stick::impl::ensure_timer() {
  if (timer) return;
  timer = g_source_new(&timer_funcs, sizeof(GSource));
  g_source_set_callback(timer, on_timer, new std::shared_ptr<impl>(shared_from_this()), drop_impl_ref);
  g_source_set_ready_time(timer, -1);
  g_source_attach(timer, g_main_context_get_thread_default());
}

void usbfs_stick::impl::schedule() {
  if (!timer) return;
  int64_t next = -1;
  for (const emulated_device& d : devices) {
    const stick_faults faults = d.model->faults();
    for (const urb& u : d.in_flight) {
      const bool waiting = u.held || (faults.stalled && u.type == USBDEVFS_URB_TYPE_ISO && !u.cancelled);
      if ((faults.unplugged || !waiting) && (next < 0 || u.due_us < next)) next = faults.unplugged ? 0 : u.due_us;
    }
  }
  for (const client_state& s : clients)
    if (s.held_reap_until_us >= 0 && (next < 0 || s.held_reap_until_us < next)) next = s.held_reap_until_us;
  if (!clients.empty()) {
    const int64_t check = g_get_monotonic_time() + client_check_us;
    if (next < 0 || check < next) next = check;
  }
  g_source_set_ready_time(timer, next);
}

void usbfs_stick::impl::tick() {
  const int64_t now = g_get_monotonic_time();
  for (emulated_device& d : devices) complete_due(d, now);
  for (client_state& s : clients) {
    if (s.held_reap_until_us < 0 || s.held_reap_until_us > now) continue;
    s.held_reap_until_us = -1;
    reap(s.client, devices[s.device], umockdev_ioctl_client_get_arg(s.client), s.held_reap_waits);
  }
  for (size_t i = clients.size(); i-- > 0;)
    if (!umockdev_ioctl_client_get_connected(clients[i].client)) forget_client(i);
  schedule();
}

namespace {

struct interface_dir {
  int number, cls, subclass, protocol, endpoints;
  bool named;  // carries the sound function's name string
};

bool write_text(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  const bool ok = std::fputs(text.c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// "<device>:<configuration>.<interface>" under the device's directory, with
// the attributes and uevent the kernel gives it and its link in the bus's list.
std::string add_interface_dir(const std::string& root, const std::string& device_syspath, const std::string& device,
                              int config, const interface_dir& f, const char* product) {
  char name[64], hex[8];
  std::snprintf(name, sizeof name, "%s:%d.%d", device.c_str(), config, f.number);
  const std::string dir = root + device_syspath + "/" + name;
  if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) return "cannot create " + dir;
  auto two_hex = [&hex](int v) {
    std::snprintf(hex, sizeof hex, "%02x\n", v);
    return std::string(hex);
  };
  const std::string interface_triple =
      std::to_string(f.cls) + "/" + std::to_string(f.subclass) + "/" + std::to_string(f.protocol);
  bool ok = write_text(dir + "/bInterfaceNumber", two_hex(f.number)) &&
            write_text(dir + "/bAlternateSetting", " 0\n") && write_text(dir + "/bInterfaceClass", two_hex(f.cls)) &&
            write_text(dir + "/bInterfaceSubClass", two_hex(f.subclass)) &&
            write_text(dir + "/bInterfaceProtocol", two_hex(f.protocol)) &&
            write_text(dir + "/bNumEndpoints", two_hex(f.endpoints)) &&
            write_text(dir + "/uevent", "DEVTYPE=usb_interface\nPRODUCT=" + std::string(product) +
                                            "\nTYPE=0/0/0\nINTERFACE=" + interface_triple + "\n");
  if (ok && f.named) ok = write_text(dir + "/interface", std::string(sound_interface_text) + "\n");
  if (!ok) return "cannot write the attributes of " + dir;
  // Relative links, as sysfs has them, so they hold inside the testbed.
  const std::string up = "../../..";  // from sys/devices/<device>/<interface>
  if (symlink((up + "/bus/usb").c_str(), (dir + "/subsystem").c_str()) != 0 && errno != EEXIST)
    return "cannot link " + dir + "/subsystem";
  const std::string link = root + "/sys/bus/usb/devices/" + name;
  if (symlink(("../../.." + device_syspath + "/" + name).c_str(), link.c_str()) != 0 && errno != EEXIST)
    return "cannot link " + link;
  return {};
}

}  // namespace

// The GLib objects, owned by the thread that made the stick.
struct usbfs_stick::testbed {
  UMockdevTestbed* bed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  gulong handler_id = 0;
  std::string root;
  std::vector<std::string> syspaths;
};

std::unique_ptr<usbfs_stick> usbfs_stick::create(std::vector<std::shared_ptr<virtual_stick>> models,
                                                 std::string* error) {
  return create(std::move(models), options{}, error);
}

std::unique_ptr<usbfs_stick> usbfs_stick::create(std::vector<std::shared_ptr<virtual_stick>> models,
                                                 const options& opts, std::string* error) {
  auto fail = [error](std::string message) -> std::unique_ptr<usbfs_stick> {
    if (error) *error = std::move(message);
    return nullptr;
  };
  std::unique_ptr<usbfs_stick> stick(new usbfs_stick());
  stick->impl_ = std::make_shared<impl>();
  stick->impl_->paced = opts.paced;
  stick->impl_->clock_ppm = std::clamp(opts.clock_ppm, -bus_schedule::max_ppm, bus_schedule::max_ppm);
  stick->impl_->sync_mark = opts.sync_mark;
  stick->testbed_ = std::make_unique<testbed>();
  testbed& t = *stick->testbed_;
  t.bed = umockdev_testbed_new();
  if (!t.bed) return fail("cannot create the umockdev testbed");
  gchar* root = umockdev_testbed_get_root_dir(t.bed);
  t.root = root;
  g_free(root);
  t.handler = umockdev_ioctl_base_new();

  for (size_t i = 0; i < models.size(); ++i) {
    if (!models[i]) return fail("missing stick model");
    emulated_device d;
    d.model = models[i];
    d.address = first_address + int(i);
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus_number, d.address);
    d.node = node;
    d.source = std::make_shared<model_stream>(d.model);
    d.iso_schedule.set_ppm(stick->impl_->clock_ppm);
    const plug_state plugged = d.model->plugged();

    // The device as sysfs shows it, with the strings the kernel read from it.
    char name[32], bus_prop[8], dev_prop[8], product_prop[32];
    std::snprintf(name, sizeof name, "%d-%zu", bus_number, i + 1);
    std::snprintf(bus_prop, sizeof bus_prop, "%03d", bus_number);
    std::snprintf(dev_prop, sizeof dev_prop, "%03d", d.address);
    std::snprintf(product_prop, sizeof product_prop, "%x/%x/%x", d.model->vendor, d.model->product, bcd_device);
    const int config = d.model->configuration();
    std::vector<std::string> values;  // the attributes' texts, kept alive for the call
    auto attribute = [&values](const char* format, auto... args) {
      char text[128];
      std::snprintf(text, sizeof text, format, args...);
      values.push_back(text);
    };
    attribute("%d\n", bus_number);
    attribute("%d\n", d.address);
    attribute("%s\n", plugged.high_speed ? "480" : "12");
    attribute("%s", config ? (std::to_string(config) + "\n").c_str() : "");
    attribute("%04x\n", d.model->vendor);
    attribute("%04x\n", d.model->product);
    attribute("%04x\n", bcd_device);
    attribute("%s\n", d.model->manufacturer.c_str());
    attribute("%s\n", d.model->product_name.c_str());
    attribute("%zu\n", i + 1);
    const gchar* attributes[] = {"busnum",
                                 values[0].c_str(),
                                 "devnum",
                                 values[1].c_str(),
                                 "speed",
                                 values[2].c_str(),
                                 "bConfigurationValue",
                                 values[3].c_str(),
                                 "idVendor",
                                 values[4].c_str(),
                                 "idProduct",
                                 values[5].c_str(),
                                 "bcdDevice",
                                 values[6].c_str(),
                                 "manufacturer",
                                 values[7].c_str(),
                                 "product",
                                 values[8].c_str(),
                                 "devpath",
                                 values[9].c_str(),
                                 "version",
                                 " 2.00\n",
                                 "bNumConfigurations",
                                 "1\n",
                                 "bNumInterfaces",
                                 " 3\n",
                                 "bmAttributes",
                                 "80\n",
                                 "bMaxPower",
                                 "500mA\n",
                                 "bDeviceClass",
                                 "00\n",
                                 "bDeviceSubClass",
                                 "00\n",
                                 "bDeviceProtocol",
                                 "00\n",
                                 "bMaxPacketSize0",
                                 "64\n",
                                 "removable",
                                 "unknown\n",
                                 nullptr};
    const gchar* properties[] = {"DEVTYPE", "usb_device", "DEVNAME",    node,   "BUSNUM", bus_prop, "DEVNUM",
                                 dev_prop,  "PRODUCT",    product_prop, "TYPE", "0/0/0",  nullptr};
    gchar* syspath = umockdev_testbed_add_devicev(t.bed, "usb", name, nullptr, const_cast<gchar**>(attributes),
                                                  const_cast<gchar**>(properties));
    if (!syspath) return fail(std::string("cannot add ") + name + " to the testbed");
    t.syspaths.push_back(syspath);
    d.sysdir = t.root + syspath;
    const std::vector<uint8_t> desc = d.model->descriptors();
    umockdev_testbed_set_attribute_binary(t.bed, syspath, "descriptors", const_cast<guint8*>(desc.data()),
                                          int(desc.size()));

    // Each interface of the configuration has its own directory. umockdev
    // only adds children from inside a testbed, so they are made by hand.
    const interface_dir interfaces[] = {{interface_number, 0xFF, 0xFF, 0xFF, 2, false},
                                        {sound_control_interface, 1, 1, 0, 0, true},
                                        {sound_stream_interface, 1, 2, 0, 0, true}};
    for (const interface_dir& f : interfaces) {
      if (!config) break;  // an unconfigured device has no interfaces
      const std::string error = add_interface_dir(t.root, syspath, name, config, f, product_prop);
      if (!error.empty()) return fail(error);
    }
    g_free(syspath);

    // The device node: a FIFO of one page, so that one byte fills it.
    const std::string path = t.root + node;
    const std::string dir = path.substr(0, path.rfind('/'));
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0) return fail("cannot create " + dir);
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0) return fail("cannot create the FIFO " + path + ": " + std::strerror(errno));
    d.fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (d.fifo < 0) return fail("cannot open " + path + ": " + std::strerror(errno));
    if (fcntl(d.fifo, F_SETPIPE_SZ, int(sysconf(_SC_PAGESIZE))) < 0)
      return fail(std::string("cannot shrink the FIFO: ") + std::strerror(errno));
    const char byte = 0;
    d.fifo_full = write(d.fifo, &byte, 1) == 1;
    // A node this user may not open: as a desktop without the udev rule
    // leaves it. (Root opens it anyway unless it runs without
    // CAP_DAC_OVERRIDE, as the emulator program starts its command.)
    if (plugged.no_permission && chmod(path.c_str(), 0) != 0)
      return fail("cannot take the permissions of " + path + ": " + std::strerror(errno));
    stick->impl_->devices.push_back(std::move(d));
  }

  t.handler_id =
      g_signal_connect_data(t.handler, "handle-ioctl", G_CALLBACK(on_ioctl), new std::shared_ptr<impl>(stick->impl_),
                            drop_impl_ref_closure, GConnectFlags(0));
  for (const emulated_device& d : stick->impl_->devices) {
    GError* attach_error = nullptr;
    if (!umockdev_testbed_attach_ioctl(t.bed, d.node.c_str(), t.handler, &attach_error)) {
      std::string message =
          "cannot emulate " + d.node + (attach_error ? std::string(": ") + attach_error->message : "");
      if (attach_error) g_error_free(attach_error);
      return fail(message);
    }
  }
  return stick;
}

usbfs_stick::~usbfs_stick() {
  // The worker thread keeps running after the testbed is gone: cut it off
  // from the state first. Its entry points check `alive` under the mutex.
  GSource* timer = nullptr;
  std::vector<UMockdevIoctlClient*> clients;
  if (impl_) {
    std::lock_guard lock(impl_->mutex);
    impl_->alive = false;
    timer = std::exchange(impl_->timer, nullptr);
    for (client_state& s : impl_->clients) {
      if (s.waiting_reap || s.held_reap_until_us >= 0) complete(s.client, -1, ENODEV);
      // The node closes with the stick: its interfaces are given up, as
      // the kernel does when its last user goes.
      impl_->release_claims(impl_->devices[s.device], s.owner);
      clients.push_back(s.client);
    }
    impl_->clients.clear();
    for (emulated_device& d : impl_->devices) {
      d.in_flight.clear();
      d.completed.clear();
      d.source.reset();
      if (d.fifo >= 0) close(d.fifo);
      d.fifo = -1;
    }
  }
  if (timer) {
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  for (UMockdevIoctlClient* c : clients) g_object_unref(c);
  if (testbed_) {
    testbed& t = *testbed_;
    if (t.handler && t.handler_id) g_signal_handler_disconnect(t.handler, t.handler_id);
    if (impl_ && t.bed)
      for (const emulated_device& d : impl_->devices) umockdev_testbed_detach_ioctl(t.bed, d.node.c_str(), nullptr);
    if (t.handler) g_object_unref(t.handler);
    if (t.bed) g_object_unref(t.bed);
  }
}

const std::string& usbfs_stick::root_dir() const { return testbed_->root; }

size_t usbfs_stick::size() const { return impl_->devices.size(); }

int usbfs_stick::bus(size_t) const { return bus_number; }

int usbfs_stick::address(size_t index) const { return first_address + int(index); }

std::string usbfs_stick::device_node(size_t index) const { return impl_->devices.at(index).node; }

void usbfs_stick::set_iso_source(size_t index, std::shared_ptr<iso_source> source) {
  std::lock_guard lock(impl_->mutex);
  if (index >= impl_->devices.size()) return;
  emulated_device& d = impl_->devices[index];
  d.source = source ? std::move(source) : std::make_shared<model_stream>(d.model);
}

void usbfs_stick::replug(size_t index) {
  std::lock_guard lock(impl_->mutex);
  if (index >= impl_->devices.size()) return;
  emulated_device& d = impl_->devices[index];
  d.model->replug();
  d.iso_schedule.stop();
  impl_->update_sysfs(d);
}

void usbfs_stick::unplug(size_t index) {
  std::lock_guard lock(impl_->mutex);
  if (index >= impl_->devices.size()) return;
  impl_->devices[index].model->unplug();
  // The worker ends what was on the bus; it can still be reaped.
  if (impl_->timer) g_source_set_ready_time(impl_->timer, 0);
}
