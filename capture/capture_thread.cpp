#include "capture/capture_thread.h"

#include <libusb.h>

#include <QDebug>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <utility>

#include "base/logging.h"
#include "base/realtime_scheduling.h"
#include "capture/device_registers.h"

using namespace easycap;

namespace {

// A transfer is reaped in slices of this, up to its time-out, so that what
// the stick does is noticed while it waits.
constexpr int reap_slice_ms = 250;
constexpr int reap_timeout_ms = 5000;
constexpr double health_check_ms = 250.0;
// A stick that stopped answering is tried again after this; a pulled one is
// looked for this often.
constexpr int retry_after_silence_ms = 2000;
constexpr int stick_poll_ms = 500;

// Nearest step for a level in [0, 1]; halves go away from zero.
uint16_t level_step(double level, int steps) { return uint16_t(std::lround(level * steps)); }
// The same step for both channels of an AC'97 stereo register.
uint16_t both_channels(uint16_t step) { return uint16_t(step << 8 | step); }

// For the log: "0x0201" for a bridge register, "0x0a" for a decoder one.
QString hex(unsigned value, int digits) { return QString("0x%1").arg(value, digits, 16, QLatin1Char('0')); }

// Why a transfer failed, for the log: libusb's name for the error, or, for
// a read that ended without error, how many bytes came back.
QString transfer_failure(bool open, int result) {
  if (!open) return QStringLiteral("no stick open");
  if (result < 0) return QString("libusb: %1").arg(libusb_error_name(result));
  return QString("%1 bytes came back").arg(result);
}

}  // namespace

capture_thread::capture_thread(QObject* parent) : worker_thread("capture", parent), backend(default_usb_backend()) {
  handoff.thread = this;
}

capture_thread::~capture_thread() {
  // A thread object must never be destroyed while it runs: if the window goes
  // away on an error path with the thread still ending, stop it and wait.
  if (isRunning()) request_close();
  wait();
}

void capture_thread::set_settings(const capture_settings& settings) {
  std::lock_guard lock(settings_mutex);
  settings_ = settings;
}

capture_settings capture_thread::settings() const {
  std::lock_guard lock(settings_mutex);
  return settings_;
}

void capture_thread::start_capture() { start(QThread::TimeCriticalPriority); }

void capture_thread::request_stop() {
  stop_requested.store(true, std::memory_order_release);
  std::lock_guard lock(request_mutex);
  request_condition.notify_all();
}

void capture_thread::request_close() {
  close_requested_.store(true, std::memory_order_release);
  request_stop();
}

bool capture_thread::stop_seen() const { return stop_requested.load(std::memory_order_acquire) || close_requested(); }

void capture_thread::set_input(int new_channel) {
  if (new_channel < 0 || new_channel >= channel_count) return;  // no such input on the bridge
  if (new_channel == channel_.load()) {
    // Same channel: nothing to do, unless the input (Composite or S-Video)
    // changed since the stick was programmed, which only a new pass sets.
    if (settings().s_video == programmed_s_video.load()) return;
  } else {
    channel_chosen_ = true;
    channel_ = new_channel;
  }
  reinit_requested = true;
  request_stop();
}

void capture_thread::set_standard() {
  reinit_requested = true;
  request_stop();
}

// ---- device access -------------------------------------------------------

usb_device_identity capture_thread::identity() const {
  std::lock_guard lock(identity_mutex);
  return stick_identity;
}

capture_thread::claim_result capture_thread::claim_stick() {
  claim_result r;
  using failure = claim_result::failure;
  auto failed = [&r](failure f, device_problem p = device_problem::interface_refused) {
    if (r.first_failure != failure::none) return;  // the first stick's reason is told
    r.first_failure = f;
    r.problem = p;
  };
  const std::vector<usb_device_entry> devices = backend ? backend->list_devices() : std::vector<usb_device_entry>{};
  // Every matching stick is opened and claimed; the last one claimed is kept.
  for (const usb_device_entry& entry : devices) {
    if (entry.vendor != vendor_id || entry.product != product_id) continue;
    // Streaming needs 3072 bytes every microframe: a USB 1.1 port cannot.
    if (entry.speed > 0 && entry.speed < LIBUSB_SPEED_HIGH) {
      failed(failure::slow_port);
      continue;
    }
    std::unique_ptr<usb_device> handle;
    const int opened = backend->open(entry, handle);
    if (opened != 0 || !handle) {
      if (opened == LIBUSB_ERROR_ACCESS)
        failed(failure::problem, device_problem::no_permission);
      else
        failed(failure::gone);
      continue;
    }
    // A desktop hands the stick over configured, with the sound driver on
    // its audio interfaces: setting the configuration again would be
    // refused while they are held, and is only needed when it differs.
    const int active = handle->get_configuration();
    if (active != configuration && handle->set_configuration(configuration) != 0) {
      failed(active == LIBUSB_ERROR_NO_DEVICE ? failure::gone : failure::problem,
             device_problem::configuration_refused);
      continue;
    }
    const int claim = handle->claim_interface(interface_number);
    if (claim != 0) {
      failed(claim == LIBUSB_ERROR_NO_DEVICE ? failure::gone : failure::problem,
             claim == LIBUSB_ERROR_BUSY ? device_problem::in_use : device_problem::interface_refused);
      continue;
    }
    usb_device_identity id = handle->identity();
    {
      std::lock_guard lock(identity_mutex);
      stick_identity = std::move(id);
    }
    device_handle = std::move(handle);
    r.claimed = true;
  }
  return r;
}

bool capture_thread::open_device() {
  const claim_result r = claim_stick();
  if (r.claimed) return true;
  using failure = claim_result::failure;
  if (r.first_failure == failure::slow_port)
    emit capture_device_not_usb_2_0();
  else if (r.first_failure == failure::problem)
    emit capture_device_unusable(r.problem);
  else
    emit capture_device_not_found();
  return false;
}

// A transfer that timed out or found no device says the stick does not
// answer: the rest of the pass would only wait out the same time-outs.
void capture_thread::note_transfer_failure(int result) {
  if (!in_pass) return;
  ++failed_transfers;
  if (result == LIBUSB_ERROR_TIMEOUT || result == LIBUSB_ERROR_NO_DEVICE) stick_silent = true;
}

uint8_t capture_thread::read_register(uint16_t reg) {
  // Closing does not wait for a programming pass, nor does a stick that
  // stopped answering: what is left of the pass is skipped, since every
  // transfer could take its whole time-out.
  if (transfer_skipped()) return 0;
  unsigned char byte = 0;
  const int result =
      device_handle ? device_handle->control_msg(read_request_type, read_request, 0, reg, &byte, 1, control_timeout_ms)
                    : -1;
  if (result != 1) {
    note_transfer_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: reading bridge register %1 failed (%2)")
                                          .arg(hex(reg, 4), transfer_failure(device_handle != nullptr, result));
    return 0;
  }
  return byte;
}

bool capture_thread::write_register(uint16_t reg, uint16_t value) {
  if (transfer_skipped()) return false;
  const int result = device_handle ? device_handle->control_msg(write_request_type, write_request, value, reg, nullptr,
                                                                0, control_timeout_ms)
                                   : -1;
  if (result < 0) {
    note_transfer_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: writing bridge register %1 failed (%2)")
                                          .arg(hex(reg, 4), transfer_failure(device_handle != nullptr, result));
    return false;
  }
  return true;
}

bool capture_thread::set_feature(uint16_t feature) {
  if (transfer_skipped()) return false;
  const int result = device_handle ? device_handle->control_msg(feature_request_type, set_feature_request, feature, 0,
                                                                nullptr, 0, control_timeout_ms)
                                   : -1;
  if (result < 0) {
    note_transfer_failure(result);
    qCDebug(capture_log).noquote() << QString("capture: setting USB feature %1 on the bridge failed (%2)")
                                          .arg(hex(feature, 4), transfer_failure(device_handle != nullptr, result));
    return false;
  }
  return true;
}

void capture_thread::write_decoder_register(uint8_t reg, uint16_t value) {
  if (transfer_skipped()) return;
  write_register(serial_subaddress, reg);
  write_register(serial_data, value);
  write_register(serial_control, serial_start_write);
  QThread::usleep(serial_settle_us);
  // One status read: the bridge has finished or it has not.
  const uint8_t status = read_register(serial_status);
  if (status != serial_write_done)
    qCDebug(capture_log).noquote()
        << QString(
               "capture: writing decoder register %1 failed: the bridge's serial bus shows status %2, not %3 (done)")
               .arg(hex(reg, 2), hex(status, 2), hex(serial_write_done, 2));
}

void capture_thread::write_codec_register(uint8_t reg, uint16_t value) {
  write_register(codec_register, reg);
  write_register(codec_data_low, value & 0xFF);
  write_register(codec_data_high, value >> 8);
  write_register(codec_command, codec_write_command);
}

uint16_t capture_thread::read_codec_register(uint8_t reg) {
  write_register(codec_register, reg);
  write_register(codec_command, codec_read_command);
  const uint8_t low = read_register(codec_data_low);
  const uint8_t high = read_register(codec_data_high);
  return uint16_t(high << 8 | low);
}

// ---- programming ---------------------------------------------------------

bool capture_thread::init_device() {
  programmed_ = settings();
  const bool is_sixty_hz = programmed_.sixty_hz();
  const bool is_s_video = programmed_.s_video;
  programmed_s_video = is_s_video;
  stick_silent = false;
  failed_transfers = 0;
  struct pass_scope {
    bool& flag;
    explicit pass_scope(bool& f) : flag(f) { flag = true; }
    ~pass_scope() { flag = false; }
  } scope(in_pass);

  for (const register_write& w : bridge_startup) write_register(w.reg, w.value);
  for (const register_write& w : bridge_configuration) write_register(w.reg, w.value);
  write_register(capture_control, capture_control_idle);

  for (const register_write& w : decoder_table(is_s_video, is_sixty_hz, programmed_.pal_60()))
    write_decoder_register(uint8_t(w.reg), w.value);
  for (int reg = decoder_line_control_first; reg <= decoder_line_control_last; ++reg)
    write_decoder_register(uint8_t(reg), decoder_line_control_value);

  const picture_controls& picture = programmed_.picture;
  write_decoder_register(decoder_brightness, uint16_t(int16_t(picture.brightness)));
  write_decoder_register(decoder_contrast, uint16_t(int16_t(picture.contrast)));
  write_decoder_register(decoder_saturation, uint16_t(int16_t(picture.saturation)));
  write_decoder_register(decoder_hue, uint16_t(int16_t(picture.hue)));

  // Audio codec: reset, link on, record from line in at a fixed gain.
  write_codec_register(ac97_reset_register, 0x0000);
  write_register(codec_link_enable, 0x01);
  write_register(codec_link_control, 0x00);
  write_codec_register(ac97_record_select, ac97_record_line_in);
  write_codec_register(ac97_line_in_volume, both_channels(level_step(1.0 - line_in_level, line_in_attenuation_steps)));
  write_codec_register(ac97_record_gain, both_channels(level_step(record_gain_level, record_gain_steps)));

  // A codec that is not there reads back zeros in both identification registers.
  const uint16_t id1 = read_codec_register(ac97_vendor_id1);
  const uint16_t id2 = read_codec_register(ac97_vendor_id2);
  // (Zeros from reads that were skipped say nothing.)
  if (id1 == 0 && id2 == 0 && !transfer_skipped()) emit easycap_audio_not_found();

  uint16_t routing;
  if (channel_chosen_.load()) {
    routing = routing_value(channel_.load());
  } else if (is_s_video) {
    channel_ = s_video_channel;
    routing = routing_value(s_video_channel);
  } else {
    channel_ = composite_channel;
    routing = routing_value(composite_channel);
  }
  write_register(input_routing, routing);
  write_register(input_select, input_select_value);

  const int lines = is_sixty_hz ? frame_lines_60hz : frame_lines_50hz;
  write_register(window_start_x, uint16_t((full_line_pixels - capture_settings::line_pixels) * 2));
  write_register(window_start_x_high, 0);
  write_register(window_start_y, uint16_t((lines - programmed_.frame_lines()) / 2));
  write_register(window_start_y_high, 0);
  write_register(window_end_x, window_end_x_bytes);
  write_register(window_end_x_high, window_end_x_high_value);
  write_register(window_end_y, is_sixty_hz ? window_end_y_60hz : window_end_y_50hz);
  write_register(window_end_y_high, is_sixty_hz ? window_end_y_high_60hz : window_end_y_high_50hz);

  // A pass cut short (a close, a stick that stopped answering) starts nothing.
  if (transfer_skipped()) return false;
  const int result = device_handle ? device_handle->set_altinterface(streaming_alternate) : -1;
  if (result < 0) {
    qCDebug(capture_log).noquote()
        << QString("capture: selecting alternate setting %1 of the video interface for streaming failed (%2)")
               .arg(streaming_alternate)
               .arg(transfer_failure(device_handle != nullptr, result));
    if (result == LIBUSB_ERROR_NO_DEVICE)
      emit capture_device_not_found();
    else
      emit capture_device_unusable(device_problem::streaming_refused);
    return false;
  }

  const uint8_t control = read_register(capture_control);
  write_register(capture_control, uint16_t((control & 0x7F) | capture_enable));
  return !transfer_skipped();
}

// ---- the thread ------------------------------------------------------------

void capture_thread::work() {
  if (!open_device()) return;

  buffer_size = capture_settings::line_pixels * 1152;  // two PAL fields of UYVY
  assembly_buffer.assign(size_t(buffer_size), 0);
  assembler = std::make_unique<field_assembler>(assembly_buffer.data(), assembly_buffer.size());
  health_clock.start();

  while (!close_requested()) {
    // Pulled out: wait for it to come back, then program it afresh.
    if (!device_handle) {
      const bool was_gone = state_told == stream_state::gone;
      if (!wait_for_stick()) break;
      qCDebug(capture_log) << (was_gone ? "capture: the stick is back" : "capture: trying the stick again");
      reinit_requested = true;
      health_fresh = was_gone;
    }
    if (!reinit_requested.load()) break;  // a stop without a new programming: closing
    reinit_requested = false;
    stop_requested.store(false, std::memory_order_release);
    const pass_end pass = program();
    if (pass == pass_end::refused || pass == pass_end::closed) break;
    if (pass == pass_end::silent) {
      // Try again from the start (it may have been pulled out) after a
      // pause, unless asked for something first.
      close_device();
      wait_for_request(retry_after_silence_ms);
      continue;
    }
    switch (stream()) {
      case stream_end::requested:
        break;
      case stream_end::gone:
        qCDebug(capture_log) << "capture: the stick is gone; waiting for it to come back";
        set_stream_state(stream_state::gone, 0);
        close_device();
        break;
      case stream_end::stalled:
        qCDebug(capture_log) << "capture: no field for" << stream_health::reprogram_after_ms / 1000.0
                             << "s; programming the stick again";
        reinit_requested = true;
        break;
    }
  }
  // What takes the fields never outlives this thread.
  if (sink_) sink_->capture_ended();
  close_device();
}

capture_thread::pass_end capture_thread::program() {
  if (init_device()) return pass_end::ready;
  if (close_requested()) return pass_end::closed;
  if (stick_silent) {
    qCDebug(capture_log) << "capture: the stick does not answer:" << failed_transfers << "register transfers failed";
    set_stream_state(stream_state::not_answering, failed_transfers);
    return pass_end::silent;
  }
  return pass_end::refused;  // already reported
}

bool capture_thread::wait_for_stick() {
  while (!close_requested()) {
    // A request (a new standard, say) applies once the stick is back.
    stop_requested.store(false, std::memory_order_release);
    if (claim_stick().claimed) return true;
    wait_for_request(stick_poll_ms);
  }
  return false;
}

void capture_thread::set_stream_state(stream_state state, unsigned count) {
  if (state == state_told && count == count_told) return;
  state_told = state;
  count_told = count;
  emit stream_state_changed(state, count);
}

void capture_thread::close_device() {
  // Releasing the video interface puts it back on alternate setting 0 and
  // hands it to the kernel's video driver that the claim set aside.
  device_handle.reset();
  // Closed: nothing can complete into a region any more.
  retained_regions.clear();
}

field_geometry capture_thread::current_field_geometry() {
  field_geometry r;
  r.width = capture_settings::line_pixels;
  r.frame_lines = programmed_.frame_lines();
  r.half_display_width = programmed_.half_display_width();
  r.half_display_height = programmed_.half_display_height();
  return r;
}

void capture_thread::wait_for_request(int timeout_ms) {
  std::unique_lock lock(request_mutex);
  request_condition.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return stop_seen(); });
}

void capture_thread::field_handoff::field_complete(bool field_flag) {
  capture_thread& t = *thread;
  // Only the field itself: what lies beyond it in the buffer is stale. It
  // ended when the packet that starts the next one was on the bus: a reap
  // that came late (a busy computer) does not make it late.
  const int64_t arrival_ns = t.clock_running ? t.clock.packet_ns(t.assembler->packet()) : t.reaped_ns;
  if (t.sink_)
    t.sink_->take_field(field_flag, t.assembly_buffer.data(), size_t(t.programmed_.field_bytes()), arrival_ns,
                        t.field_starts);
}

void capture_thread::field_handoff::field_start(int bytes) {
  capture_thread& t = *thread;
  if (!t.clock_running) {
    ++t.field_starts;
  } else {
    // Periods of the stick's field clock since the last start: more than
    // one, and the fields between never came; none, and this was no field's
    // start (a damaged header).
    const int periods = t.clock.field_started(t.clock.packet_ns(t.assembler->packet()));
    if (periods == 0) return;
    t.field_starts += uint64_t(periods);
    if (periods > 1) {
      t.missed_fields.fetch_add(uint32_t(periods - 1), std::memory_order_relaxed);
      qCDebug(capture_log) << "capture: fields missing from the stream:" << periods - 1
                           << "never came; numbered past them";
    }
  }
  // The time since the last field start is taken only when the line is on.
  qCDebug(capture_timing_log).noquote() << QString(
                                               "capture: a field starts %1 ms after the last; %2 bytes came before it")
                                               .arg(t.timer.lap(), 0, 'g', -1)
                                               .arg(bytes);
}

namespace {

// A stick that was pulled out fails every transfer at once, thousands of
// times a second; say each distinct error once and how often it repeated.
class repeat_filter {
 public:
  explicit repeat_filter(QString what) : what_(std::move(what)) {}
  ~repeat_filter() { flush(); }
  void report(int result) {
    if (result == last_ && repeats_ < 1000000) {
      ++repeats_;
      return;
    }
    flush();
    qCDebug(capture_log).noquote() << QString("%1 (libusb: %2)").arg(what_, libusb_error_name(result));
    last_ = result;
  }

 private:
  void flush() {
    if (repeats_ > 0)
      qCDebug(capture_log).noquote()
          << QString("%1 (libusb: %2) %3 more times").arg(what_, libusb_error_name(last_)).arg(repeats_);
    repeats_ = 0;
  }
  QString what_;
  int last_ = 0;
  int repeats_ = 0;
};

}  // namespace

capture_thread::stream_end capture_thread::stream() {
  // The format stays what the last programming pass set for the whole run.
  assembler->set_format(programmed_.field_bytes(), 2 * programmed_.field_bytes());
  assembler->start_run();
  if (sink_) sink_->stream_starting(current_field_geometry());
  emit easycap_streaming();
  timer.start();

  const int region_size = (packet_size + 12) * microframes_per_transfer + 4;
  // One block for all regions, as large as the design has always made it;
  // not cleared: the service writes each region before it is parsed.
  const size_t block_size = size_t(2) * size_t(microframes_per_transfer) * packet_size * size_t(transfers_in_flight);
  std::unique_ptr<unsigned char[]> regions(new unsigned char[block_size]);
  std::vector<std::unique_ptr<usb_iso_context>> contexts(static_cast<size_t>(transfers_in_flight));
  usb_device* device = device_handle.get();
  // A stick streams at the bus's pace: from here on this thread (and the
  // render thread it starts, which inherits it) must not queue behind
  // whatever else the computer does. Asked once.
  if (!realtime_asked && device->streams_in_real_time()) {
    realtime_asked = true;
    realtime::make_this_thread_realtime("capture thread", realtime::capture_priority);
  }
  auto region = [&](int i) { return regions.get() + size_t(i) * size_t(region_size); };

  for (int i = 0; i < transfers_in_flight; ++i) {
    const int result = device->iso_setup(contexts[size_t(i)], video_endpoint, packet_size);
    if (result < 0)
      qCDebug(capture_log).noquote() << QString(
                                            "capture: setting up video transfers on endpoint %1 failed (libusb: %2)")
                                            .arg(hex(video_endpoint, 2), libusb_error_name(result));
  }
  // The field clock places field starts by the bus's time: only for a
  // stick that streams in real time.
  clock_running = device->streams_in_real_time();
  clock.start(1e9 / (2.0 * programmed_.frame_rate()));
  const QString transfer = QString("capture: a video transfer on endpoint %1").arg(hex(video_endpoint, 2));
  repeat_filter submit_errors(transfer + " could not be queued");
  repeat_filter reap_errors(transfer + " failed");
  // Transfers in flight, oldest first: the bus completes them in the order
  // they were queued, so they are reaped in that order, and a transfer is
  // queued again only once it was reaped. Those whose submission failed
  // wait in `idle` and are tried again after each reap.
  std::deque<int> in_flight;
  std::vector<int> idle;
  std::vector<int64_t> submitted_ns(size_t(transfers_in_flight), 0);
  bool submit_found_no_device = false;
  auto submit = [&](int i) {
    const int64_t now = steady_clock_ns();
    const int result = device->iso_submit(contexts[size_t(i)].get(), region(i), region_size);
    if (result < 0) {
      submit_errors.report(result);
      if (result == LIBUSB_ERROR_NO_DEVICE) submit_found_no_device = true;
      // Busy: the USB layer still holds it (a reap that failed before it
      // completed), so it is reaped again rather than queued.
      if (result == LIBUSB_ERROR_BUSY)
        in_flight.push_back(i);
      else
        idle.push_back(i);
      return;
    }
    submitted_ns[size_t(i)] = now;
    in_flight.push_back(i);
  };
  auto submit_idle = [&] {
    std::vector<int> waiting;
    waiting.swap(idle);
    for (int i : waiting) submit(i);
  };
  for (int i = 0; i < transfers_in_flight; ++i)
    if (contexts[size_t(i)]) submit(i);

  // What the person is told: fields flowing, none coming, or all damaged.
  const assembly_counters& totals = assembler->counters();
  if (health_fresh)
    health.start(health_clock.elapsed(), totals.fields_complete, totals.fields_discarded);
  else
    health.resume(health_clock.elapsed(), totals.fields_complete, totals.fields_discarded);
  health_fresh = false;
  stopwatch health_check;
  health_check.start();
  auto check_health = [&] {
    if (health_check.elapsed() < health_check_ms) return;
    health_check.start();
    const bool changed = health.update(health_clock.elapsed(), totals.fields_complete, totals.fields_discarded);
    switch (health.current()) {
      case stream_health::state::flowing:
        // Also after a run that began in another state (pulled out, silent).
        set_stream_state(stream_state::flowing, 0);
        break;
      case stream_health::state::no_fields:
        if (changed && health.count() == 1) qCDebug(capture_log) << "capture: no field for a second";
        set_stream_state(stream_state::no_fields, health.count());
        break;
      case stream_health::state::damaged:
        if (changed)
          qCDebug(capture_log) << "capture: a damaged stream:" << health.count()
                               << "fields discarded in the last second, none complete (packets lost or damaged)";
        set_stream_state(stream_state::damaged, health.count());
        break;
    }
  };

  stream_end end = stream_end::requested;
  stopwatch pass_timer;
  while (!stop_seen() && end == stream_end::requested) {
    pass_timer.start();
    bool data_arrived = false;
    for (int pass = 0; pass < transfers_in_flight && !stop_seen(); ++pass) {
      if (in_flight.empty()) {
        // Every submission failed: the stick is gone, or rest below. (With
        // transfers still in flight, their reaps tell that it is gone.)
        if (submit_found_no_device) end = stream_end::gone;
        break;
      }
      const int i = in_flight.front();
      // In slices, so that a stick that went silent is noticed and told
      // while the transfer waits out its time-out.
      int n = LIBUSB_ERROR_TIMEOUT;
      for (int waited = 0; waited < reap_timeout_ms && !stop_seen(); waited += reap_slice_ms) {
        n = device->iso_reap(contexts[size_t(i)].get(), reap_slice_ms);
        if (n != LIBUSB_ERROR_TIMEOUT) break;
        check_health();
        if (health.stalled(health_clock.elapsed())) break;
      }
      qCDebug(capture_timing_log).noquote()
          << QString("capture: done waiting for a video transfer at %1 ms").arg(timer.elapsed(), 0, 'g', -1);
      if (health.stalled(health_clock.elapsed())) {
        end = stream_end::stalled;
        break;
      }
      // Not reaped (a stop, or its time-out): it is still in flight, and
      // stays queued until it is reaped or cancelled.
      if (n == LIBUSB_ERROR_TIMEOUT) continue;
      in_flight.pop_front();
      if (n == LIBUSB_ERROR_NO_DEVICE) {
        reap_errors.report(n);
        end = stream_end::gone;
        break;
      }
      reaped_ns = steady_clock_ns();
      // Every reaped transfer had its bus time, whatever it brought.
      clock.transfer_reaped(submitted_ns[size_t(i)], reaped_ns, microframes_per_transfer);
      // Queued again at once, so the bus never waits for the parsing: the
      // region is written only when it is reaped next.
      submit(i);
      submit_idle();
      check_health();
      if (n == 0) continue;
      if (n < 0) {
        reap_errors.report(n);
        continue;
      }
      data_arrived = true;
      uint32_t claimed;
      std::memcpy(&claimed, region(i), sizeof claimed);
      if (claimed != uint32_t(microframes_per_transfer))
        qCDebug(capture_log).noquote() << QString(
                                              "capture: a video transfer came back with %1 packets, not the %2 queued")
                                              .arg(claimed)
                                              .arg(microframes_per_transfer);
      assembler->parse_region(region(i), size_t(region_size), microframes_per_transfer, handoff);
      const assembly_counters& c = assembler->counters();
      incomplete_fields.store(uint32_t(c.fields_discarded), std::memory_order_relaxed);
      dropped_packet_count.store(uint32_t(c.packets_dropped_limit + c.packets_malformed), std::memory_order_relaxed);
      complete_fields.store(uint32_t(c.fields_complete), std::memory_order_relaxed);
      qCDebug(capture_timing_log).noquote()
          << QString("capture: done parsing a video transfer at %1 ms").arg(timer.elapsed(), 0, 'g', -1);
    }
    if (in_flight.empty() && end == stream_end::requested) submit_idle();
    // Transfers that fail at once (a bus error on every one) would spin:
    // rest between such passes, and wake at once for a request.
    if (end == stream_end::requested && !data_arrived && pass_timer.elapsed() < 10.0) wait_for_request(200);
  }

  // Cancel what is still queued and wait for it before the regions go. A
  // transfer that did not come back may still complete into its region, so
  // the block then stays until the device is closed.
  bool still_pointed_into = false;
  for (auto& context : contexts)
    if (context && device->iso_release(context) < 0) still_pointed_into = true;
  if (still_pointed_into) retained_regions.push_back(std::move(regions));
  return end;
}
