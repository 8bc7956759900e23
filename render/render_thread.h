// The render thread: takes each field the capture thread hands over (UYVY
// 4:2:2, 720 x 240 or 288), makes the display picture of one of five
// display modes from it, and while recording converts it to planar YUV
// 4:2:2 for the recording (libswscale).
//
// The display picture stays the stick's own 4:2:2 (render/display_picture.h):
// one field for F1 and F2, a picture's two fields for Interlaced and
// Field-blended, bwdif's frame for Deinterlaced. The display's shader
// converts, weaves, blends and scales it; this thread only copies, except
// in Deinterlaced.
#pragma once

#include <QString>
#include <QThread>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "base/field_sink.h"
#include "base/recording_supply.h"
#include "base/stopwatch.h"
#include "base/worker_thread.h"
#include "render/deinterlacer.h"
#include "render/display_mode.h"
#include "render/latest_picture.h"

struct AVFrame;
struct SwsContext;

// What the capture thread passes in at the start of every streaming run.
using render_settings = field_geometry;

class render_thread : public worker_thread, public field_sink, public recording_supply {
  Q_OBJECT

 public:
  explicit render_thread(QObject* parent = nullptr);
  ~render_thread() override;

  // Stop for good: the loop ends when it sees it (a field being converted
  // still finishes). Starts the thread if it never ran, so that it ends.
  void request_close();

  // How the display shows the fields; any thread, from the next field on.
  void set_display_mode(display_mode mode);
  // The recording's picture: FFmpeg's pixel format and its bytes per pixel
  // (planar YUV 4:2:2, 2 bytes, unless set); any thread, from the next field.
  void set_recording_format(int pixel_format, double bytes_per_pixel);

  // Sizes of the buffers the thread keeps (largest standard, PAL).
  static constexpr size_t handoff_buffer_size = 829440;         // one raw field fits with room to spare
  static constexpr size_t picture_buffer_size = 720 * 576 * 2;  // a display picture: two fields of PAL
  static constexpr size_t recording_field_buffer_size = 720 * 288 * 2;
  // Fields that may wait for conversion: while recording, a few hundred ms
  // of scheduling jitter is absorbed; otherwise only the newest few are
  // kept, since the display wants the newest.
  static constexpr int handoff_slots = 16;
  static constexpr int display_backlog = 4;
  // Converted fields that may wait for the recorder's thread to take them
  // into the recording: 1.3 s of PAL.
  static constexpr int recording_slots = 64;

  // Replaces the render settings. Waits until no field waits or is being
  // converted, so a conversion never sees half-old, half-new settings.
  void set_render_settings(const render_settings& settings);

  // Capture thread only: hands over a complete field (copying `size` bytes
  // of it). It waits, with others, until the thread takes it; when too many
  // wait, the oldest gives way (while recording only when all the slots
  // are full). Starts the thread on the first field. After request_close(), only
  // wakes (or starts) the thread. `serial` numbers fields as the stick sent
  // them (0: the thread numbers them itself); `arrival_ns` is when the
  // field's last packet came (-1: now).
  void submit_field(bool field_flag, const unsigned char* field, size_t size, int64_t arrival_ns = -1,
                    uint64_t serial = 0);

  // The display picture, newest first (GUI thread: take() and front()).
  latest_picture& display() { return display_; }

  // The recording's side (recording_supply): the recorder thread takes the
  // converted fields; tests take them directly too.
  void set_recording(bool on) override { recording_on_ = on; }
  // Hands every converted field waiting for the recording, oldest first, to
  // `use`; returns how many. Nothing waits on the render thread while `use`
  // runs.
  int take_fields(const std::function<void(const recorded_field&)>& use) override;
  // While recording: fields handed over and not yet taken by take_fields(),
  // converted or not.
  int fields_waiting() override;
  // Forgets what waits for the recording (a recording starts).
  void discard_fields() override {
    take_fields([](const recorded_field&) {});
  }

  // Waits, at most `timeout_ms`, until every field handed over so far has
  // been converted (or the thread is not running); false on the time-out.
  bool wait_until_converted(int timeout_ms) override;

  // Fields dropped from the hand-off because too many waited.
  uint32_t dropped_fields() const { return dropped_fields_.load(); }

  // The capture thread's side (field_sink).
  void stream_starting(const field_geometry& geometry) override { set_render_settings(geometry); }
  void take_field(bool flag, const unsigned char* pixels, size_t bytes, int64_t arrival_ns, uint64_t serial) override {
    submit_field(flag, pixels, bytes, arrival_ns, serial);
  }
  void capture_ended() override;
  uint32_t fields_dropped() const override { return dropped_fields(); }
  // Fields converted (field_rendered emitted).
  uint32_t rendered_fields() const { return rendered_fields_.load(); }
  // Fields converted without a display picture, because newer ones waited.
  uint32_t unshown_fields() const { return unshown_fields_.load(); }
  // Fields skipped because a scaler could not be built for them.
  uint32_t failed_fields() const { return failed_fields_.load(); }
  // Converted fields the recording lost because the recorder's thread left
  // all the recording slots full.
  uint32_t recording_overflows() const { return recording_overflows_.load(); }

 signals:
  // Once per field converted, with its flag.
  void field_rendered(bool field_flag);
  // Once per field, after field_rendered: the last display picture made
  // (4:2:2, as display().front_info() describes it; null before the first)
  // and the display's half sizes. Nothing here listens; the buffer is
  // rewritten by a later field.
  void broadcast_frame(uchar* display_buffer, int half_display_width, int half_display_height);

 protected:
  void work() override;

 private:
  // The tests and benchmarks reach inside through this (tests/support/render_probe.h):
  // the field pictures, the settings, a slow machine, one conversion timed
  // on the calling thread.
  friend struct render_probe;

  render_settings current_settings();
  // Converts `field` on the calling thread, exactly as work() does for one
  // field (signals included). Only while the thread is not running; returns
  // false then, or when the field could not be converted.
  bool render_one_field(bool field_flag, const unsigned char* field);

  // What the pictures and scalers were built for; any difference rebuilds.
  struct geometry {
    int width = 0;
    int field_lines = 0;
    int recording_format = -1;
    bool operator==(const geometry&) const = default;
  };

  struct field_in_hand {
    const unsigned char* pixels;
    bool flag;
    uint64_t serial;
    int64_t arrival_ns;
    bool show;  // no newer field waits to be shown instead
  };
  struct handoff_slot {
    std::vector<unsigned char> bytes;
    bool flag = false;
    uint64_t serial = 0;
    int64_t arrival_ns = -1;
  };
  struct recording_entry {
    int slot;
    size_t bytes;
    bool flag;
    uint64_t serial;
    int64_t arrival_ns;
  };

  bool rebuild(const geometry& g);
  void release_pictures();
  bool render_field(const render_settings& s, const field_in_hand& field);
  // Makes the display picture of the field in hand, if its mode shows one
  // now; true when it did (display_.back() and back_info() hold it).
  bool make_display_picture(const field_in_hand& field, display_mode mode, picture_info& info);
  void record_field(const field_in_hand& field, int lines);
  int recording_slot();
  // With handoff_mutex held: starts the loop if it is not running, else wakes it.
  void start_or_wake();

  // Guards the hand-off queue, the settings and the wait.
  std::mutex handoff_mutex;
  std::condition_variable handoff_condition;
  std::array<handoff_slot, handoff_slots> slots_;
  std::deque<int> waiting_;  // slots holding fields, oldest first
  std::vector<int> free_;    // slots nobody uses
  int in_hand_ = -1;         // the slot being converted
  uint64_t own_serial_ = 0;
  bool loop_running = false;  // set by the starting submit_field, cleared as run() ends
  render_settings settings;

  // The last field of each flag, for Interlaced and Field-blended (render
  // thread only), and the display pictures.
  std::vector<unsigned char> field_picture_[2];
  uint64_t field_picture_serial_[2] = {0, 0};  // the field each holds (0: none since the last rebuild)
  latest_picture display_{picture_buffer_size};
  // Deinterlaced: built when the mode is first used, freed with the
  // pictures and when another mode is chosen (render thread only).
  deinterlacer deinterlace_;
  bool deinterlace_failure_reported_ = false;

  // Guards the recording queue and free list (never held while converting
  // or while the recorder's thread weaves).
  std::mutex recording_mutex_;
  std::array<std::vector<unsigned char>, recording_slots> recording_pool_;
  std::deque<recording_entry> recording_queue_;
  std::vector<int> recording_free_;
  int recording_slots_used_ = 0;

  stopwatch render_timer;
  AVFrame* source_picture = nullptr;  // describes the field in hand
  SwsContext* recording_scaler = nullptr;
  int recording_picture_size = 0;
  unsigned char* last_published_ = nullptr;
  geometry built;
  bool pictures_ready = false;
  bool failure_reported = false;

  // The stop request; the display mode; every field converted for the
  // recording too (set_recording(); cleared when the thread starts); the
  // recording's picture format. Read once per field.
  std::atomic<bool> quit_{false};
  std::atomic<display_mode> display_mode_{display_mode::f1};
  std::atomic<bool> recording_on_{false};
  std::atomic<int> recording_pixel_format_{4};  // FFmpeg's planar YUV 4:2:2
  std::atomic<double> recording_bytes_per_pixel_{2.0};

  std::atomic<uint32_t> dropped_fields_{0};
  std::atomic<uint32_t> rendered_fields_{0};
  std::atomic<uint32_t> failed_fields_{0};
  std::atomic<uint32_t> unshown_fields_{0};
  std::atomic<uint32_t> recording_overflows_{0};
  // Each conversion takes at least this long (tests: a slow machine).
  std::atomic<int> slow_render_ms_{0};
};
