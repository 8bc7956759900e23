// A recording's life as the window asks for it: started with the capture's
// settings and the "Stop after" limit, stopped at an instant, its progress
// read as one snapshot, and its end told by one signal that says why. The
// recorder's thread does the work (record/recorder.h); this is its owner on
// the GUI thread, with the totals the window shows.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>

#include "capture/capture_settings.h"
#include "record/recorder.h"

// Where a recording stands, read at once.
struct recording_status {
  bool running = false;
  int64_t frames = 0;       // in its files: those that came and the repeats
  int64_t fields_lost = 0;  // see recording_controller::fields_lost()
  int64_t frames_damaged = 0;
  int64_t bytes = 0;
  int64_t elapsed_ms = 0;  // the time its files hold
  int64_t file_ms = 0;     // the time its last file holds
  int64_t limit_ms = 0;    // the limit it started with; 0: none
  QString file_name;       // its last file, once it ended
};

// How a recording ended without being stopped.
enum class recording_end { time_limit, disk_full, failed };

// The room on the disk a recording would go to.
struct disk_room {
  int64_t free_bytes = -1;  // -1: cannot be told
  double bytes_per_second = 0;
  bool worth_asking() const;  // less than ten minutes' worth
};

class recording_controller : public QObject {
  Q_OBJECT

 public:
  explicit recording_controller(QObject* parent = nullptr);
  ~recording_controller() override;

  // What the next recording is made of (the file's name, the picture's
  // format): each recording takes a copy when it starts, so a change while
  // one runs waits for the next.
  recording_settings& next_settings() { return next_settings_; }
  const recording_settings& next_settings() const { return next_settings_; }
  ::recorder& recorder() { return recorder_; }
  const ::recorder& recorder() const { return recorder_; }

  bool is_recording() const { return running_; }
  // Each recording stops by itself after this long; 0: no limit. A running
  // recording keeps the limit it started with.
  int64_t stop_after_ms() const { return stop_after_ms_; }
  void set_stop_after_ms(int64_t ms) { stop_after_ms_ = ms; }

  // The disk the next recording goes to, against what it would write at
  // `capture`'s rate. The recording keeps a minute of that free.
  disk_room room_for(const capture_settings& capture);
  // Little room, knowingly used: the file keeps just what its end needs.
  void use_all_room();

  // False when the last recording is still being finished on the disk.
  bool start(const capture_settings& capture);
  // Ends the recording now: every field that came before goes in, none that
  // comes later. `while_waiting` runs until the recorder has ended (the
  // sound of the last frames still comes in through it).
  void stop(const std::function<void()>& while_waiting);
  // The process ends without its event loop: the recording is finished now
  // from any thread. Returns its file, empty when none ran.
  QString finish_for_exit();

  recording_status status() const;
  // Fields the running (or last) recording lost: never came whole from the
  // stick, or dropped on the way to the file.
  int64_t fields_lost() const;
  // Frames dropped or damaged since the program started.
  uint32_t frames_dropped_total() const { return dropped_total_.load(); }
  // Lost fields since the last look go to the debug output.
  void tell_lost_fields();

 signals:
  // The recording ended by itself; `message` says why for a failure.
  void ended(recording_end why, const QString& message);

 private:
  void recorder_failed(const QString& message);
  void recorder_reached_limit();
  // The time `frames` last at the recording's rate.
  int64_t frames_ms(int64_t frames) const;

  ::recorder recorder_;
  recording_settings next_settings_;
  // The rate of the running (or last) recording.
  frame_rate running_rate_ = pal_frame_rate;
  bool running_ = false;
  int64_t stop_after_ms_ = 0;
  int64_t running_limit_ms_ = 0;
  int64_t fields_lost_told_ = 0;
  uint32_t dropped_at_start_ = 0;
  // Added to on the recorder's thread as it drops a frame (a direct call):
  // the account at a stop counts every drop, however late.
  std::atomic<uint32_t> dropped_total_{0};
};
