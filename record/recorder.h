// The recorder: a thread that takes the recording's fields from the render
// thread (recording_supply) and weaves them into whole frames, takes raw
// audio as the sound preview reads it, queues them, and interleaves them
// into a HuffYUV + PCM AVI file (written by its avi_writer, avi_writer.h).
// The audio stream keeps time: a frame is written once the audio already
// written has reached that frame's time. A new numbered file starts after
// five hours of video.
//
// In a live recording the sound is resampled to keep its place against the
// picture, whose clock is not the sound's (sound_sync.h); it is cut or padded
// with silence only for jumps no clock makes. Sound that does not come at all
// while frames wait is made up as silence. Both queues are bounded: what a
// recording that cannot keep up throws away is counted and told.
//
// The recording keeps its own clock: frames that never came (a stick that
// stalls, a machine too busy to take them) are written as repeats of the
// last frame, so the file is as long as the time it recorded and the sound
// stays with the picture. At the end the frame periods that clock counted
// are told beside the frames that came: the difference is what was lost.
//
// A recording that cannot go on (the file cannot be created, a write fails,
// the trailer cannot be written) ends the thread with the file closed as far
// as it can be, refuses later frames and audio (recorder_counters::failed),
// and emits recording_failed() once with a message for the user.
//
// Its owner starts a recording with its settings, reads how it stands as
// one snapshot (counters()), and ends it with one request (stop_at() or
// request_stop()) and wait().
#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "base/frame_rate.h"
#include "base/recording_supply.h"
#include "base/stopwatch.h"
#include "base/worker_thread.h"
#include "record/avi_writer.h"
#include "record/frame_buffer.h"
#include "record/recording_feed.h"
#include "record/sound_sync.h"

// Knobs of a recording's behaviour that the product leaves at these values
// and tests turn to reach its limits quickly.
struct recording_tuning {
  // Frames the video queue may hold; add_video_frame() drops the oldest
  // beyond it. At least 1.
  int max_queued_frames = 125;
  // Most sound the queue holds, in seconds; the oldest goes beyond it.
  double max_queued_sound_seconds = 5.0;
  // Longest a stop may spend writing what is still queued; the frames left
  // after it are dropped and told.
  int stop_budget_ms = 1000;
  // At a stop, the longest the sound of the last frames is waited for.
  int last_sound_wait_ms = 1000;
  // Frames after which a new file is started; 0: five hours at the
  // recording's rate.
  int split_frames = 0;
  // At a split, the sound of the file's last picture may still be on its
  // way (it comes up to a frame after the picture's start, in the sound
  // server's blocks): the split waits for it this long before silence
  // stands in.
  int split_sound_wait_ms = 500;
  // The free space the file sink sees where it cannot allocate; -1: the
  // disk's own (file_sink.h).
  int64_t forced_free_bytes = -1;
};

// What a recording is made of.
struct recording_settings {
  // The file's path without its extension; numbered files follow it.
  QString base_name;
  QString extension = ".avi";
  // Picture geometry: whole frames of two woven fields.
  int frame_width = 720;
  int field_lines = 288;
  int pixel_format = 4;  // FFmpeg's planar YUV 4:2:2
  ::frame_rate rate = pal_frame_rate;
  bool widescreen = false;  // declared in the file: 16:9, else 4:3
  // Keep the recording's own clock (a live source): repeats for the frames
  // that never came, and at the stop what is queued goes into the file. Off,
  // the file holds just the frames given, as for a source that is not live.
  bool keep_time = false;
  // Where a note of each open file is kept, so that one a crash left
  // unfinished is found and repaired at the next start
  // (recording_journal.h); empty: none is kept.
  QString journal_directory;
  // Room each file keeps for its end (file_sink.h); 0: the sink's own.
  int64_t reserve_bytes = 0;
  // Room the disk must keep beyond the file's end (file_sink.h): the
  // recording stops, its file whole, when it has no more.
  int64_t keep_free_bytes = 0;
  // Keep room for one more minute of this recording and its index: once the
  // recording's own rate is known (a second in), keep_free_bytes follows it.
  bool keep_a_minute_free = false;
  // The recording ends by itself after this many frames, its file whole; 0:
  // no limit.
  int64_t frame_limit = 0;
  recording_tuning tuning;
};

// How a recording stands, read at once. The recorder's thread counts as it
// goes: a figure at any time, final once the thread has ended (wait()).
struct recorder_counters {
  // Frames written to the current file; restarts at 0 with every file.
  int frames_in_file = 0;
  // This recording, over all its files: frames written as they came,
  // repeats written for frames that never came, and at the end the frame
  // periods of the recording's clock.
  int64_t frames_received = 0;
  int64_t frames_repeated = 0;
  int64_t frame_periods = 0;
  // Frames woven with a field that was lost: written, but carrying an older
  // field.
  int64_t frames_damaged = 0;
  // Frames thrown away on their way to the file (the queue full, no memory
  // for a copy, too late at the stop): over the recorder's life, and in
  // this recording.
  unsigned frames_dropped = 0;
  unsigned frames_dropped_in_recording = 0;
  // Fields that never reached this recording, told by the gaps in their
  // numbers.
  int64_t fields_missing = 0;
  // This recording's sound: samples thrown away because the queue was
  // full, samples of silence for sound that never came, the sync's cuts and
  // paddings, and the sound's clock against the picture's in ppm.
  int64_t sound_dropped_samples = 0;
  int64_t sound_missing_samples = 0;
  int64_t sound_cuts = 0;
  int64_t sound_paddings = 0;
  double sound_clock_ppm = 0.0;
  // Bytes this recording has put in its files so far.
  int64_t bytes_written = 0;
  // Passes of the recorder's loop completed in this recording.
  unsigned passes = 0;
  // The recording ended because its disk was full; it ended on an error
  // (and takes no more frames or sound).
  bool stopped_by_full_disk = false;
  bool failed = false;

  // Every frame in the files: those that came and the repeats.
  int64_t frames_written() const { return frames_received + frames_repeated; }
  // After a recording ended: the frames its clock counted that never came,
  // or `at_least` when more are known lost (the clock's count is good to a
  // frame of the time things take on their way); and that less those
  // dropped_frames() already told.
  int64_t frames_lost(int64_t at_least = 0) const;
  int64_t frames_lost_untold(int64_t at_least = 0) const;
};

class recorder : public worker_thread {
  Q_OBJECT

 public:
  explicit recorder(QObject* parent = nullptr);
  // Releases whatever is still queued. It neither stops nor waits for the
  // thread: the owner stops it (request_stop() or stop_at(), wait()) before.
  ~recorder() override;

  // Main thread. Starts a recording made of `settings` (its own copy).
  // Waits (finish_wait_ms at most) for a recording still ending; false, and
  // nothing started, when it has not ended by then.
  bool start_recording(const recording_settings& settings);
  static constexpr int finish_wait_ms = 5000;
  // Ends the recording: fields and frames that came later than `ns`
  // (steady clock) are not the recording's, and those due before are
  // counted. The owner then wait()s for the thread.
  void stop_at(int64_t ns);
  // Ends the recording now.
  void request_stop();
  // A stop was asked for (or no recording was started yet).
  bool stop_requested() const { return stop_requested_; }

  // Where a live recording's fields come from (the render thread); set by
  // the owner while no recording runs. The recorder's thread takes them,
  // weaves each pair into a frame (recording_feed.h) and queues it, so
  // nothing the owner's thread does holds a field up. None: frames come
  // through add_video_frame() alone.
  void set_supply(recording_supply* supply) { supply_ = supply; }

  // A whole frame, taken over. `arrival_ns` is when its
  // picture came from the stick (steady clock; -1: now); `missing_before`
  // frame periods went by since the frame before it without a frame of
  // their own: the last frame is repeated in their place (less those the
  // recording's clock has repeated already).
  void add_video_frame(frame_buffer frame, int64_t arrival_ns = -1, int64_t missing_before = 0);
  // Frame periods that went by without a frame, with no frame to follow
  // them yet (main thread).
  void add_missing_frames(int64_t count);
  // A frame went out with a field that was lost (main thread).
  void count_damaged_frame();
  // Sound as it was read. Until the recording has taken the last it writes,
  // sound handed over after the stop is still the recording's: at a stop
  // the sound of the last frames is waited for (it comes after them,
  // through the sound server), and the owner keeps handing it over while it
  // waits for the thread.
  void add_audio(const QByteArray& bytes);
  // A frame lost before it reached the queue (e.g. no memory for its copy).
  void count_dropped_frames(uint count);

  recorder_counters counters() const;
  // The file being written (the last one, once the recording ended).
  QString file_name() const;
  // Why the last recording ended on an error: the first failure's message,
  // the one recording_failed() carries.
  QString failure_message() const;

 signals:
  void dropped_frames(uint count);
  void recording_failed(QString message);
  // The recording reached its frame limit and ended, its file whole.
  void limit_reached();

 protected:
  void work() override;

 private:
  friend struct recorder_probe;  // tests/support/recorder_probe.h

  // Frames and sound are refused once a stop was asked for (frames) or the
  // last sound is taken (sound), and after a failure. Cleared by
  // start_recording(); sound_closed is set by the recorder's thread once it
  // has taken the last sound it writes, failed when the recording ended on
  // an error.
  std::atomic<bool> stop_requested_{true};
  std::atomic<bool> sound_closed{true};
  std::atomic<bool> failed{false};
  // When the recording ended for its owner (steady clock ns), if it says:
  // frames that came later are not the recording's, and those due before
  // are counted. Reset by start_recording().
  std::atomic<int64_t> stop_at_ns{-1};

  // Guards both queues and what goes with them.
  QMutex queue_mutex;
  // Whole frames, oldest first; an empty one stands for a frame that never
  // came (the last one is repeated in its place).
  std::deque<frame_buffer> video_queue;
  // Audio chunks of exactly audio_chunk_bytes, oldest first.
  std::deque<QByteArray> audio_queue;
  // Bytes short of a whole chunk; main thread only, kept between recordings.
  QByteArray pending_audio;
  // When things were handed over (queue_mutex): the steady-clock time of
  // each real frame in video_queue, in order; and for each block of sound,
  // the samples received through it and when.
  QList<int64_t> frame_arrivals;
  struct sound_arrival {
    int64_t position;
    int64_t ns;
  };
  QList<sound_arrival> sound_arrivals;
  // The last block of sound handed over (its steady-clock time; -1: none
  // yet in this recording), and the longest gap between two blocks.
  int64_t last_sound_ns = -1;
  int64_t longest_sound_gap_ns = 0;
  // Samples queued as chunks since the queues were last emptied, and those
  // of them the bound threw away before they were taken (queue_mutex).
  int64_t sound_queued_samples = 0;
  int64_t sound_dropped_untaken = 0;
  // Bytes per audio chunk; 0 until the audio stream of a file is set up.
  std::atomic<unsigned> audio_chunk_bytes{0};

  // The counters (recorder_counters): written by the recorder's thread but
  // for the drops and the damaged frames, which the main thread counts too.
  std::atomic<int> frames_encoded{0};
  std::atomic<unsigned> dropped_frame_count{0};
  std::atomic<int64_t> frames_received{0};
  std::atomic<int64_t> frames_repeated{0};
  std::atomic<int64_t> frame_periods{0};
  std::atomic<int64_t> frames_damaged{0};
  std::atomic<int64_t> fields_missing{0};
  std::atomic<int64_t> sound_dropped_samples{0};
  std::atomic<int64_t> sound_missing_samples{0};
  std::atomic<int64_t> sound_cuts{0};
  std::atomic<int64_t> sound_paddings{0};
  std::atomic<double> sound_clock_ppm{0.0};
  std::atomic<int64_t> bytes_written{0};
  std::atomic<unsigned> passes{0};
  std::atomic<bool> stopped_by_full_disk{false};
  // dropped_frame_count when the recording started.
  std::atomic<unsigned> dropped_at_start{0};
  stopwatch recording_timer;

  // Each frame write takes at least this long: a disk slower than the
  // picture, to see what the recording does then (a test's, at any time).
  std::atomic<int> slow_write_ms{0};

  // The file being written and the first failure's message: written by the
  // recorder's thread (under text_mutex_), read by anyone.
  mutable QMutex text_mutex_;
  QString file_name_;
  QString failure_message_;

  // Both need queue_mutex held; they return how many went.
  uint drop_video_frames(uint keep);
  uint drop_audio_chunks(uint keep);
  bool interleave();
  // The supply's fields: the weave set up at the start, every field taken
  // in each pass, and at the stop those that came before it.
  bool start_weaving();
  void take_fields();
  void take_last_fields();
  // Moves observations and sound from the queues into the sound path (all
  // of it, or as much as the outgoing buffer has room for).
  void take_sound(bool all);
  // Silence for frames that have waited too long for sound that never came;
  // false when none is due.
  bool make_up_missing_sound();
  size_t sound_out_frames() const { return (sound_out.size() - sound_out_read) / 2; }
  bool write_sound_chunk();
  bool write_queued_frame(frame_buffer frame, int64_t arrival_ns);
  // The next frame (empty for a repeat) and its arrival (-1 for a repeat);
  // false if none.
  bool take_frame(frame_buffer* frame, int64_t* arrival_ns);
  void status_pass();
  // When the recording's clock counts more than `after` frames that have not
  // come, queues repeats for all of them but `allowance` (those still on
  // their way); returns how many.
  int64_t fill_missing_frames(int64_t after, int64_t allowance);
  // Repeats for `count` frame periods without a frame (queue_mutex held).
  void queue_missing_frames(int64_t count);
  // At the stop: what is queued, the frames still missing, and silence to
  // make the sound as long as the pictures.
  bool finish_recording();
  // At the stop: waits for the sound of the recording's first `pictures`
  // frames as long as the sound, at the pace it has come, takes to bring
  // it (with its longest gap and a margin), at most last_sound_wait_ms;
  // then takes no more.
  void wait_for_last_sound(int64_t pictures);
  // The file's sound up to the end of its pictures, to the sample (the
  // last chunk shorter if need be), so that a file ends with the sound of
  // its own pictures and the next one starts with the sound of its first.
  // Where the sound has not come, `pad` writes silence in its place and the
  // same amount of sound is skipped when it comes, so what follows keeps its
  // place; without it the file is left short of the end.
  enum class sound_end { reached, short_of_it, failed };
  // At a split (`at_split`) the silence is counted as sound that never came.
  sound_end sound_to_picture_end(bool pad, bool at_split = false);
  bool end_sound_with_pictures() { return sound_to_picture_end(true) == sound_end::reached; }
  // Sample frames of sound that the pictures of this recording's files last,
  // up to the end of the open file's pictures.
  int64_t sound_for_pictures(int64_t pictures) const;
  // A split is due: the file holds split_limit() frames, or has grown as
  // large as it may.
  bool split_due() const;
  // Interleaved stereo sample frames from sound_out into the file.
  bool write_sound_out(int frames);
  // Drops the sound that silence stood in for at a split, once it comes.
  void drop_owed_sound();
  // The disk has no more room than the file needs for its end.
  bool disk_nearly_full();
  // The frame limit is reached: no more frames go in.
  bool at_frame_limit() const;
  // The room the disk must keep beyond the file follows this recording's
  // rate: a minute of it and its index (keep_a_minute_free).
  void keep_room_for_a_minute();
  // How the recording stands, for bytes_written.
  void count_bytes();
  // The file has grown as large as its file system (or a limit) allows.
  bool file_size_limit_near() const;
  // Closes this file and goes on in the next numbered one (five hours, or
  // the size limit near).
  bool start_next_file();
  int split_limit() const;
  void empty_queues();
  void fail(const QString& message);
  // The next free file name from base_name, in file_name_.
  void make_unique_file_name();
  // The file: the next free name, opened with the picture's format; and
  // closed with its trailer. False, with the writer's message taken into
  // failure_message_, when the writer fails.
  bool open_file();
  bool close_file();
  // A frame into the file, counted in frames_encoded whatever becomes of it;
  // an empty one is a repeat.
  bool write_frame(frame_buffer frame);
  // The writer's message, when one of its calls has failed; false.
  bool writer_failed();

  // The open file.
  avi_writer writer;
  // The recording's clock, in steady-clock nanoseconds: frame periods since
  // the first frame was handed over (set on the main thread), or since the
  // first file was opened while none has been (set here).
  std::atomic<int64_t> clock_start_ns{0};
  std::atomic<int64_t> first_frame_ns{-1};
  // Frame periods from the start to `at_ns` (steady clock).
  int64_t clock_periods(int64_t at_ns) const;
  int64_t repeats_in_gap = 0;  // repeats since frames stopped coming
  // Repeats the clock queued since the last frame came (queue_mutex): the
  // feed's count of missing frames takes them into account.
  int64_t clock_repeats_since_frame = 0;
  // Repeats the clock queued that no frame has yet shown were for frames
  // that never came (recorder thread).
  int64_t clock_fills_unclaimed = 0;
  int64_t received_at_fill = 0;
  // The recording's fields and the frame they are woven into (recorder
  // thread; supply_ is set while no recording runs).
  recording_supply* supply_ = nullptr;
  recording_feed_state feed_state_;
  frame_buffer weave_frame_;
  // The recording's sound on its way to the file, and what came out of it
  // and waits to be written (interleaved stereo, from sound_out_read on).
  std::unique_ptr<sound_path> sound;
  // The settings this recording started with (written by start_recording()
  // before the thread starts; read-only while it runs).
  recording_settings active_;
  std::vector<int16_t> sound_out;
  size_t sound_out_read = 0;
  int64_t bytes_in_closed_files = 0;
  // Pictures and sample frames of sound in the files closed at splits.
  int64_t pictures_in_closed_files = 0;
  int64_t sound_in_closed_files = 0;
  // Sample frames of sound to drop as they come: silence stood in for them
  // at the end of a file.
  int64_t sound_owed = 0;
  // When a split found the sound for its file's last pictures still on its
  // way (steady clock ns; -1: none waits).
  int64_t split_waits_since_ns = -1;
  // Where this file's rate is measured from (keep_room_for_a_minute()).
  int rate_from_frame = -1;
  int64_t rate_from_bytes = 0;
  int64_t steady_origin_ns = 0;
};
