// The capture thread: owns the stick. It opens it once (stick_link),
// programs bridge, decoder and codec for the chosen standard and input
// (stick_programming.h), streams (video_transfers into the field assembler),
// and starts over with a fresh programming pass whenever the standard or
// input changes, the stream stalls or the stick comes back.
#pragma once

#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/field_sink.h"
#include "base/stopwatch.h"
#include "base/worker_thread.h"
#include "capture/capture_settings.h"
#include "capture/field_assembler.h"
#include "capture/field_clock.h"
#include "capture/stick_link.h"
#include "capture/stream_health.h"
#include "capture/usb_seam.h"

class capture_thread : public worker_thread {
  Q_OBJECT

 public:
  // Why a stick that is there cannot be used.
  enum class device_problem {
    no_permission,          // its device node is closed to this user
    in_use,                 // another program holds its video interface
    configuration_refused,  // it did not take configuration 1
    interface_refused,      // its video interface could not be claimed
    streaming_refused,      // it would not select the streaming setting
  };
  Q_ENUM(device_problem)

  // What the picture is doing, for the person in front of it.
  enum class stream_state {
    flowing,        // fields arrive
    no_fields,      // none for a second or more: the stick sends nothing (count: seconds)
    damaged,        // packets arrive but every field is incomplete (count: fields discarded in a second)
    gone,           // the stick was pulled out; waiting for it to come back
    not_answering,  // the stick does not answer its registers (count: transfers that failed)
  };
  Q_ENUM(stream_state)

  // What the decoder says of the signal on the input, read about twice a
  // second while the stick streams.
  enum class signal_state {
    unknown,   // not streaming, or not read yet
    none,      // nothing to lock to: no cable, the wrong input, a tape's blank end
    fifty_hz,  // a signal at 50 Hz (625 lines: PAL), whatever the stick is set for
    sixty_hz,  // a signal at 60 Hz (525 lines: NTSC, PAL-60)
  };
  Q_ENUM(signal_state)
  // The decoder's status byte as a state.
  static signal_state signal_from_status(uint8_t status);

  explicit capture_thread(QObject* parent = nullptr);
  ~capture_thread() override;

  // The USB layer the stick is found through (default_usb_backend() unless
  // set); set before the start.
  void set_usb_backend(usb_backend* backend) { link_.set_backend(backend); }
  // Where the fields this thread assembles go; set before the start, and
  // outlives this thread's run (capture_ended() is its last call).
  void set_field_sink(field_sink* sink) { sink_ = sink; }

  // What to capture. Any thread; a programming pass (set_standard(),
  // set_input(), the first start) takes what is set then.
  void set_settings(const capture_settings& settings);
  capture_settings settings() const;
  // The decoder's picture controls, reaching it within a few transfers while
  // the stick streams: written between reaps, no programming pass, no field
  // lost. Also kept for the next pass.
  void set_picture(const picture_controls& controls);

  // The bridge input the last programming pass routed (0-3), and whether
  // the user chose it (else it follows the input: S-Video on 0, Composite
  // on 2). Set by set_input().
  int channel() const { return channel_.load(); }
  bool channel_chosen() const { return channel_chosen_.load(); }

  void start_capture();
  // Stop for good (closing the window). Unlike the stop that ends a run for
  // re-programming, nothing clears it, so it is never lost; the loop honours
  // it at its head, inside a programming pass and inside the streaming run.
  void request_close();

  // What the pipeline lost so far: fields that arrived short or long, fields
  // that never arrived at all (their field periods went by without a field
  // start), fields the render thread was too busy to take; and packets
  // dropped at the append limit or for descriptors outside their region.
  uint32_t lost_fields() const {
    return incomplete_fields.load() + missed_fields.load() + (sink_ ? sink_->fields_dropped() : 0);
  }
  uint32_t fields_never_came() const { return missed_fields.load(); }
  uint32_t dropped_packets() const { return dropped_packet_count.load(); }
  uint32_t assembled_fields() const { return complete_fields.load(); }

  // What the system says about the stick that was opened (empty strings
  // before that); any thread.
  usb_device_identity identity() const { return link_.identity(); }

 signals:
  void capture_device_not_found();
  void capture_device_not_usb_2_0();
  void capture_device_unusable(capture_thread::device_problem problem);
  // Whenever the state of the picture or its count changes.
  void stream_state_changed(capture_thread::stream_state state, unsigned count);
  // What the decoder says of the signal: at the first read of each
  // streaming run and whenever it changes; unknown when the stick is gone.
  // `set_for_sixty_hz`: the field rate the stick was programmed for when it
  // was read (a reading from before a switch says nothing of the rate now).
  void signal_changed(capture_thread::signal_state state, bool set_for_sixty_hz);
  void easycap_audio_not_found();
  void easycap_streaming();

 public slots:
  void set_input(int channel);
  void set_standard();

 protected:
  void work() override;

 private:
  // The tests reach inside through this (tests/support/capture_probe.h).
  friend struct capture_probe;

  // Why a streaming run ended.
  enum class stream_end { requested, gone, stalled };
  // Why a programming pass did not end streaming-ready.
  enum class pass_end { ready, refused, closed, silent };

  bool open_device();
  pass_end program();
  stream_end stream();
  bool wait_for_stick();
  void close_device();
  void set_stream_state(stream_state state, unsigned count);
  // Ends the current streaming run (a new standard or input).
  void interrupt_run();
  bool close_requested() const { return close_requested_.load(std::memory_order_acquire); }
  bool stop_seen() const;
  void wait_for_request(int timeout_ms);
  field_geometry current_field_geometry();

  // Hands complete fields to the sink; writes the debug lines.
  struct field_handoff : field_listener {
    capture_thread* thread = nullptr;
    void field_complete(bool next_field_flag) override;
    void field_start(int bytes) override;
  };

  std::atomic<bool> close_requested_{false};
  // A stop that ends the current streaming run; and whether run() then
  // programs the stick again (else it ends).
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> reinit_requested_{true};
  mutable std::mutex settings_mutex;
  capture_settings settings_;
  // What the last programming pass set the stick up for (capture thread).
  capture_settings programmed_;
  field_sink* sink_ = nullptr;
  std::atomic<int> channel_{2};
  std::atomic<bool> channel_chosen_{false};
  std::mutex request_mutex;  // only for waking a waiting streaming run
  std::condition_variable request_condition;

  std::atomic<uint32_t> incomplete_fields{0};
  std::atomic<uint32_t> missed_fields{0};
  std::atomic<uint32_t> dropped_packet_count{0};
  std::atomic<uint32_t> complete_fields{0};

  std::vector<unsigned char> assembly_buffer;
  std::unique_ptr<field_assembler> assembler;
  field_handoff handoff;
  // Fields the stick sent, over the thread's life, numbered by their start
  // packets and by time: every field has its number, the ones that arrived
  // damaged and those that never arrived too.
  uint64_t field_starts = 0;
  // Where the field starts lie on the bus (a stick streaming in real time).
  field_clock clock;
  bool clock_running = false;
  // When the transfer being parsed was reaped (steady clock).
  int64_t reaped_ns = -1;
  stopwatch timer;
  // Transfer regions that a transfer may still be written into: a cancel
  // that did not come back in time. Freed only after the device is closed,
  // so declared before the link that holds it.
  std::vector<std::unique_ptr<unsigned char[]>> retained_regions;
  stick_link link_;
  // The input the last programming pass set up; an input change to the
  // same channel still needs a new pass.
  std::atomic<bool> programmed_s_video{false};
  // set_picture() was called since the decoder's picture controls were last
  // written.
  std::atomic<bool> picture_changed_{false};
  // Between reaps: the picture controls asked for, if they changed.
  void apply_picture();
  // Between reaps, once per status period (the next read due at
  // next_read_ns, steady clock): the decoder's status read and a change told.
  void check_signal(int64_t& next_read_ns);
  void set_signal_state(signal_state state);
  // How often the decoder's status is read while streaming; 0: never (the
  // benchmark's comparison).
  int status_period_ms_ = 500;
  signal_state signal_told_ = signal_state::unknown;
  bool status_read_failed_ = false;
  bool realtime_asked = false;  // real-time scheduling was asked for
  stream_state state_told = stream_state::flowing;
  unsigned count_told = 0;
  // What the picture does, over the runs on one stick (a new programming
  // pass goes on counting the time without fields).
  stream_health health;
  stopwatch health_clock;
  bool health_fresh = true;
};
