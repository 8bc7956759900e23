#include "capture/capture_thread.h"

#include <libusb.h>

#include <QDebug>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/logging.h"
#include "base/realtime_scheduling.h"
#include "capture/device_registers.h"
#include "capture/stick_programming.h"
#include "capture/video_transfers.h"

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

}  // namespace

capture_thread::capture_thread(QObject* parent) : worker_thread("capture", parent) {
  handoff.thread = this;
  // A close cuts what is left of a programming pass short.
  link_.set_cancel_flag(&close_requested_);
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

void capture_thread::set_picture(const picture_controls& controls) {
  {
    std::lock_guard lock(settings_mutex);
    settings_.picture = controls.clamped();
  }
  picture_changed_.store(true, std::memory_order_release);
}

void capture_thread::apply_picture() {
  if (!picture_changed_.exchange(false, std::memory_order_acq_rel)) return;
  const picture_controls wanted = settings().picture;
  write_picture_controls(link_, wanted, &programmed_.picture);
  programmed_.picture = wanted;
}

capture_thread::signal_state capture_thread::signal_from_status(uint8_t status) {
  // The lock bit first: the detected field rate means nothing without it.
  if (status & status_not_locked) return signal_state::none;
  return (status & status_sixty_hz) ? signal_state::sixty_hz : signal_state::fifty_hz;
}

void capture_thread::check_signal(int64_t& next_read_ns) {
  const int64_t now_ns = steady_clock_ns();
  if (status_period_ms_ <= 0 || now_ns < next_read_ns) return;
  next_read_ns = now_ns + int64_t(status_period_ms_) * 1000000;
  QString why;
  const std::optional<uint8_t> status = link_.read_decoder_register(decoder_status, &why);
  if (!status) {
    // Told once until a read works again; the state told stays.
    if (!status_read_failed_)
      qCDebug(capture_log).noquote() << QString(
                                            "capture: the decoder's status cannot be read (%1); trying again "
                                            "every %2 ms")
                                            .arg(why)
                                            .arg(status_period_ms_);
    status_read_failed_ = true;
    return;
  }
  status_read_failed_ = false;
  set_signal_state(signal_from_status(*status));
}

void capture_thread::set_signal_state(signal_state state) {
  if (state == signal_told_) return;
  signal_told_ = state;
  qCDebug(capture_log) << "capture: the decoder's signal:" << state;
  emit signal_changed(state, programmed_.sixty_hz());
}

void capture_thread::start_capture() { start(QThread::TimeCriticalPriority); }

void capture_thread::interrupt_run() {
  stop_requested_.store(true, std::memory_order_release);
  std::lock_guard lock(request_mutex);
  request_condition.notify_all();
}

void capture_thread::request_close() {
  close_requested_.store(true, std::memory_order_release);
  interrupt_run();
}

bool capture_thread::stop_seen() const { return stop_requested_.load(std::memory_order_acquire) || close_requested(); }

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
  reinit_requested_ = true;
  interrupt_run();
}

void capture_thread::set_standard() {
  reinit_requested_ = true;
  interrupt_run();
}

// ---- the stick -----------------------------------------------------------

bool capture_thread::open_device() {
  const stick_link::claim_result r = link_.claim();
  if (r.claimed) return true;
  using failure = stick_link::claim_result::failure;
  switch (r.first_failure) {
    case failure::none:
    case failure::gone:
      emit capture_device_not_found();
      break;
    case failure::slow_port:
      emit capture_device_not_usb_2_0();
      break;
    case failure::no_permission:
      emit capture_device_unusable(device_problem::no_permission);
      break;
    case failure::configuration_refused:
      emit capture_device_unusable(device_problem::configuration_refused);
      break;
    case failure::interface_refused:
      emit capture_device_unusable(device_problem::interface_refused);
      break;
    case failure::in_use:
      emit capture_device_unusable(device_problem::in_use);
      break;
  }
  return false;
}

// ---- the thread ------------------------------------------------------------

void capture_thread::work() {
  if (!open_device()) return;

  assembly_buffer.assign(size_t(capture_settings::line_pixels) * 1152, 0);  // two PAL fields of UYVY
  assembler = std::make_unique<field_assembler>(assembly_buffer.data(), assembly_buffer.size());
  health_clock.start();

  while (!close_requested()) {
    // Pulled out: wait for it to come back, then program it afresh.
    if (!link_.is_open()) {
      const bool was_gone = state_told == stream_state::gone;
      if (!wait_for_stick()) break;
      qCDebug(capture_log) << (was_gone ? "capture: the stick is back" : "capture: trying the stick again");
      reinit_requested_ = true;
      health_fresh = was_gone;
    }
    if (!reinit_requested_.load()) break;  // a stop without a new programming: closing
    reinit_requested_ = false;
    stop_requested_.store(false, std::memory_order_release);
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
        set_signal_state(signal_state::unknown);
        close_device();
        break;
      case stream_end::stalled:
        qCDebug(capture_log) << "capture: no field for" << stream_health::reprogram_after_ms / 1000.0
                             << "s; programming the stick again";
        reinit_requested_ = true;
        break;
    }
  }
  // What takes the fields never outlives this thread.
  if (sink_) sink_->capture_ended();
  close_device();
}

capture_thread::pass_end capture_thread::program() {
  // The pass writes the picture controls as they are now.
  picture_changed_.store(false, std::memory_order_release);
  programmed_ = settings();
  programmed_s_video = programmed_.s_video;
  // The channel as it is when the routing is written: a choice that comes
  // during the pass counts.
  const programming_result r = program_stick(
      link_, programmed_,
      [this](int followed) {
        if (channel_chosen_.load()) return channel_.load();
        channel_ = followed;
        return followed;
      },
      [this] { emit easycap_audio_not_found(); });
  using outcome = programming_result::outcome;
  switch (r.end) {
    case outcome::ready:
      return pass_end::ready;
    case outcome::gone:
      emit capture_device_not_found();
      return pass_end::refused;
    case outcome::streaming_refused:
      emit capture_device_unusable(device_problem::streaming_refused);
      return pass_end::refused;
    case outcome::cut_short:
      break;
  }
  if (close_requested()) return pass_end::closed;
  if (link_.silent()) {
    qCDebug(capture_log) << "capture: the stick does not answer:" << link_.failed_transfers()
                         << "register transfers failed";
    set_stream_state(stream_state::not_answering, link_.failed_transfers());
    return pass_end::silent;
  }
  return pass_end::refused;
}

bool capture_thread::wait_for_stick() {
  while (!close_requested()) {
    // A request (a new standard, say) applies once the stick is back.
    stop_requested_.store(false, std::memory_order_release);
    if (link_.claim().claimed) return true;
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
  link_.close();
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

void capture_thread::field_handoff::field_complete(bool next_field_flag) {
  capture_thread& t = *thread;
  // Only the field itself: what lies beyond it in the buffer is stale. It
  // ended when the packet that starts the next one was on the bus: a reap
  // that came late (a busy computer) does not make it late.
  const int64_t arrival_ns = t.clock_running ? t.clock.packet_ns(t.assembler->packet()) : t.reaped_ns;
  if (t.sink_)
    t.sink_->take_field(next_field_flag, t.assembly_buffer.data(), size_t(t.programmed_.field_bytes()), arrival_ns,
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

capture_thread::stream_end capture_thread::stream() {
  // The format stays what the last programming pass set for the whole run.
  assembler->set_format(programmed_.field_bytes(), 2 * programmed_.field_bytes());
  assembler->start_run();
  if (sink_) sink_->stream_starting(current_field_geometry());
  emit easycap_streaming();
  timer.start();

  usb_device& device = *link_.device();
  // A stick streams at the bus's pace: from here on this thread (and the
  // render thread it starts, which inherits it) must not queue behind
  // whatever else the computer does. Asked once.
  if (!realtime_asked && device.streams_in_real_time()) {
    realtime_asked = true;
    realtime::make_this_thread_realtime("capture thread", realtime::capture_priority);
  }
  constexpr int packets_per_transfer = video_transfers::packets_per_transfer;
  video_transfers transfers(device);
  // The field clock places field starts by the bus's time: only for a
  // stick that streams in real time.
  clock_running = device.streams_in_real_time();
  clock.start(programmed_.rate().period_ns() / 2.0);  // a field period
  transfers.submit_all();

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

  // The first read comes with the first transfer, and is told even when
  // it says what the last run's did: a new standard is judged at once.
  int64_t next_status_read_ns = 0;
  if (signal_told_ != signal_state::none) signal_told_ = signal_state::unknown;
  stream_end end = stream_end::requested;
  stopwatch pass_timer;
  while (!stop_seen() && end == stream_end::requested) {
    pass_timer.start();
    bool data_arrived = false;
    for (int pass = 0; pass < video_transfers::in_flight_count && !stop_seen(); ++pass) {
      if (transfers.none_in_flight()) {
        // Every submission failed: the stick is gone, or rest below. (With
        // transfers still in flight, their reaps tell that it is gone.)
        if (transfers.found_no_device()) end = stream_end::gone;
        break;
      }
      const int i = transfers.oldest();
      // In slices, so that a stick that went silent is noticed and told
      // while the transfer waits out its time-out.
      int n = LIBUSB_ERROR_TIMEOUT;
      for (int waited = 0; waited < reap_timeout_ms && !stop_seen(); waited += reap_slice_ms) {
        n = transfers.reap_oldest(reap_slice_ms);
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
      const int64_t submitted_ns = transfers.take_oldest();
      if (n == LIBUSB_ERROR_NO_DEVICE) {
        transfers.report_reap_error(n);
        end = stream_end::gone;
        break;
      }
      reaped_ns = steady_clock_ns();
      // Every reaped transfer had its bus time, whatever it brought.
      clock.transfer_reaped(submitted_ns, reaped_ns, packets_per_transfer);
      // Queued again at once, so the bus never waits for the parsing: the
      // region is written only when it is reaped next.
      transfers.resubmit(i);
      check_health();
      // With the transfer queued again, before the next reap.
      apply_picture();
      if (n == 0) continue;
      if (n < 0) {
        transfers.report_reap_error(n);
        continue;
      }
      data_arrived = true;
      const unsigned char* region = transfers.region(i);
      uint32_t claimed;
      std::memcpy(&claimed, region, sizeof claimed);
      if (claimed != uint32_t(packets_per_transfer))
        qCDebug(capture_log).noquote() << QString(
                                              "capture: a video transfer came back with %1 packets, not the %2 queued")
                                              .arg(claimed)
                                              .arg(packets_per_transfer);
      assembler->parse_region(region, size_t(video_transfers::region_size), packets_per_transfer, handoff);
      const assembly_counters& c = assembler->counters();
      incomplete_fields.store(uint32_t(c.fields_discarded), std::memory_order_relaxed);
      dropped_packet_count.store(uint32_t(c.packets_dropped_limit + c.packets_malformed), std::memory_order_relaxed);
      complete_fields.store(uint32_t(c.fields_complete), std::memory_order_relaxed);
      qCDebug(capture_timing_log).noquote()
          << QString("capture: done parsing a video transfer at %1 ms").arg(timer.elapsed(), 0, 'g', -1);
      // After the hand-off, so that the read delays no field; the other
      // transfers stay queued meanwhile.
      check_signal(next_status_read_ns);
    }
    if (transfers.none_in_flight() && end == stream_end::requested) transfers.retry_idle();
    // Transfers that fail at once (a bus error on every one) would spin:
    // rest between such passes, and wake at once for a request.
    if (end == stream_end::requested && !data_arrived && pass_timer.elapsed() < 10.0) wait_for_request(200);
  }

  // Cancel what is still queued and wait for it before the regions go. A
  // transfer that did not come back may still complete into its region, so
  // the block then stays until the device is closed.
  if (auto still_pointed_into = transfers.release()) retained_regions.push_back(std::move(still_pointed_into));
  return end;
}
