// The capture thread: owns the stick. It opens it once, programs bridge,
// decoder and codec for the chosen standard and input, streams, and starts
// over with a fresh programming pass whenever the standard or input changes.
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

  explicit capture_thread(QObject* parent = nullptr);
  ~capture_thread() override;

  // Where the fields this thread assembles go; set before the start, and
  // outlives this thread's run (capture_ended() is its last call).
  void set_field_sink(field_sink* sink) { sink_ = sink; }

  // Requests from the GUI thread. stop_requested ends the current streaming
  // run; reinit_requested makes run() program the stick again afterwards.
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> reinit_requested{true};

  // What to capture. Any thread; a programming pass (set_standard(),
  // set_input(), the first start) takes what is set then.
  void set_settings(const capture_settings& settings);
  capture_settings settings() const;

  // The bridge input the last programming pass routed (0-3), and whether
  // the user chose it (else it follows the input: S-Video on 0, Composite
  // on 2). Set by set_input().
  int channel() const { return channel_.load(); }
  bool channel_chosen() const { return channel_chosen_.load(); }

  // The USB layer this thread opens the stick through; set before the start.
  usb_backend* backend;

  // Streaming constants. 64 transfers of 16 microframes keep 128 ms of the
  // bus queued (3 MB of transfer memory, well inside usbfs's 16 MB), as much
  // as the kernel's own video driver keeps: a capture thread held up for
  // less than that loses nothing.
  const uint16_t packet_size = 3072;
  const int transfers_in_flight = 64;
  const int microframes_per_transfer = 16;

  void start_capture();
  // Stop for good (closing the window). Unlike a stop for re-programming,
  // nothing clears it, so it is never lost; the loop honours it at its head
  // and inside the streaming run.
  void request_close();
  bool close_requested() const { return close_requested_.load(std::memory_order_acquire); }

  // Device access and the register protocol; capture thread only.
  bool open_device();
  uint8_t read_register(uint16_t reg);
  bool write_register(uint16_t reg, uint16_t value);
  bool set_feature(uint16_t feature);
  void write_decoder_register(uint8_t reg, uint16_t value);
  void write_codec_register(uint8_t reg, uint16_t value);
  // The two data bytes: low byte (0x502) in bits 7:0, high byte (0x503) in 15:8.
  uint16_t read_codec_register(uint8_t reg);
  bool init_device();

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

  bool has_device() const { return device_handle != nullptr; }
  usb_device* device() const { return device_handle.get(); }
  // What the system says about the stick that was opened (empty strings
  // before that); any thread.
  usb_device_identity identity() const;

 signals:
  void capture_device_not_found();
  void capture_device_not_usb_2_0();
  void capture_device_unusable(capture_thread::device_problem problem);
  // Whenever the state of the picture or its count changes.
  void stream_state_changed(capture_thread::stream_state state, unsigned count);
  void easycap_audio_not_found();
  void easycap_streaming();

 public slots:
  void set_input(int channel);
  void set_standard();

 protected:
  void work() override;

 private:
  // Why a streaming run ended.
  enum class stream_end { requested, gone, stalled };
  // Why a programming pass did not end streaming-ready.
  enum class pass_end { ready, refused, closed, silent };
  struct claim_result {
    bool claimed = false;
    enum class failure { none, gone, slow_port, problem } first_failure = failure::none;
    device_problem problem = device_problem::interface_refused;
  };

  claim_result claim_stick();
  pass_end program();
  stream_end stream();
  bool wait_for_stick();
  void close_device();
  void set_stream_state(stream_state state, unsigned count);
  bool transfer_skipped() const { return close_requested() || (in_pass && stick_silent); }
  void note_transfer_failure(int result);
  void request_stop();
  bool stop_seen() const;
  void wait_for_request(int timeout_ms);
  field_geometry current_field_geometry();

  // Hands complete fields to the sink; writes the debug lines.
  struct field_handoff : field_listener {
    capture_thread* thread = nullptr;
    void field_complete(bool field_flag) override;
    void field_start(int bytes) override;
  };

  std::atomic<bool> close_requested_{false};
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
  int buffer_size = 0;
  stopwatch timer;
  // Transfer regions that a transfer may still be written into: a cancel
  // that did not come back in time. Freed only after the device is closed,
  // so declared before it.
  std::vector<std::unique_ptr<unsigned char[]>> retained_regions;
  std::unique_ptr<usb_device> device_handle;
  mutable std::mutex identity_mutex;
  usb_device_identity stick_identity;
  // The input the last programming pass set up; an input change to the
  // same channel still needs a new pass.
  std::atomic<bool> programmed_s_video{false};
  // Set when a register transfer timed out or found no device: the rest of
  // the pass is skipped. Capture thread only.
  bool stick_silent = false;
  bool in_pass = false;           // init_device() is running
  bool realtime_asked = false;    // real-time scheduling was asked for
  unsigned failed_transfers = 0;  // in the last programming pass
  stream_state state_told = stream_state::flowing;
  unsigned count_told = 0;
  // What the picture does, over the runs on one stick (a new programming
  // pass goes on counting the time without fields).
  stream_health health;
  stopwatch health_clock;
  bool health_fresh = true;
};
