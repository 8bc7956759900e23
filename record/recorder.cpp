#include "record/recorder.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "base/logging.h"

namespace {

constexpr double audio_byte_rate = 192000.0;  // 48000 Hz, 2 channels, 2 bytes
constexpr int sample_rate = 48000;
constexpr int pass_sleep_ms = 40;
// A pass writes for at most this long, so that splits, the status line and
// the stop are seen to when writing is slower than the picture.
constexpr int pass_budget_ms = 200;
// Sound resampled but not yet written: at most this much is taken from the
// queue ahead of the pictures.
constexpr int64_t sound_out_limit = sample_rate;
// A frame that has waited this long for sound gets silence instead: the
// sound is not coming (no input, or it stopped).
constexpr int64_t no_sound_wait_ns = 1500 * 1000 * 1000LL;
// A file holds five hours of frames at most.
constexpr int64_t file_seconds = 5 * 3600;
// Frames that may be on their way from the stick to the queue at any time
// beyond those the pipeline says it holds (fields_on_their_way), and how
// far behind its clock the recording may fall before the missing frames
// are repeated. Fields lost on the way are repeated at once, by the feed,
// from the gaps in their numbers; this is for a stick that sends nothing.
constexpr int64_t frames_on_their_way = 2;
// The fields come as planar YUV 4:2:2: two bytes a pixel.
constexpr double woven_bytes_per_pixel = 2.0;
constexpr int64_t fill_after_frames = 8;
// At the stop, a frame due less than this before it may still be on its way.
constexpr int64_t stop_margin_ns = 10 * 1000 * 1000;

}  // namespace

recorder::recorder(QObject* parent) : worker_thread("recorder", parent) {}

recorder::~recorder() { empty_queues(); }

bool recorder::start_recording(const recording_settings& settings) {
  // The last recording may still be ending (its queued frames, the sound of
  // its end and the index on their way to the disk): it is let finish. One
  // that does not leaves this one unstarted, and the caller says so.
  if (isRunning() && !wait(QDeadlineTimer(finish_wait_ms))) return false;
  QMutexLocker lock(&queue_mutex);
  // A thread that ended on its own (after an error) has not been waited for
  // yet: waiting here makes its writes visible before they are reused.
  wait();
  active_ = settings;
  stop_requested_ = false;
  failed = false;
  sound_closed = false;
  passes = 0;
  frames_received = 0;
  frames_repeated = 0;
  frame_periods = 0;
  frames_damaged = 0;
  first_frame_ns = -1;
  clock_start_ns = 0;
  stop_at_ns = -1;
  repeats_in_gap = 0;
  clock_repeats_since_frame = 0;
  dropped_at_start = dropped_frame_count.load();
  sound_dropped_samples = 0;
  sound_missing_samples = 0;
  sound_cuts = 0;
  sound_paddings = 0;
  sound_clock_ppm = 0.0;
  stopped_by_full_disk = false;
  bytes_written = 0;
  bytes_in_closed_files = 0;
  start(QThread::InheritPriority);
  return true;
}

void recorder::add_video_frame(frame_buffer frame, int64_t arrival_ns, int64_t missing_before) {
  // After the stop only the recorder thread's own weave of the fields that
  // came before it hands frames over.
  if (stop_requested_ && QThread::currentThread() != this) return;
  const int64_t now = arrival_ns >= 0 ? arrival_ns : steady_clock_ns();
  if (first_frame_ns.load() < 0 && clock_start_ns.load() != 0) first_frame_ns = now;
  uint dropped = 0;
  {
    QMutexLocker lock(&queue_mutex);
    if (failed) return;
    queue_missing_frames(missing_before);
    clock_repeats_since_frame = 0;
    video_queue.push_back(std::move(frame));
    frame_arrivals.append(now);
    dropped = drop_video_frames(uint(std::max(1, active_.tuning.max_queued_frames)));
  }
  if (dropped > 0) count_dropped_frames(dropped);
}

void recorder::add_missing_frames(int64_t count) {
  if ((stop_requested_ && QThread::currentThread() != this) || count <= 0) return;
  QMutexLocker lock(&queue_mutex);
  if (!failed) queue_missing_frames(count);
}

void recorder::stop_at(int64_t ns) {
  stop_at_ns = ns;
  stop_requested_ = true;
}

void recorder::request_stop() { stop_requested_ = true; }

recorder_counters recorder::counters() const {
  recorder_counters c;
  c.frames_in_file = frames_encoded;
  c.frames_received = frames_received;
  c.frames_repeated = frames_repeated;
  c.frame_periods = frame_periods;
  c.frames_damaged = frames_damaged;
  c.frames_dropped = dropped_frame_count;
  c.frames_dropped_in_recording = c.frames_dropped - dropped_at_start;
  c.fields_missing = fields_missing;
  c.sound_dropped_samples = sound_dropped_samples;
  c.sound_missing_samples = sound_missing_samples;
  c.sound_cuts = sound_cuts;
  c.sound_paddings = sound_paddings;
  c.sound_clock_ppm = sound_clock_ppm;
  c.bytes_written = bytes_written;
  c.passes = passes;
  c.stopped_by_full_disk = stopped_by_full_disk;
  c.failed = failed;
  return c;
}

QString recorder::file_name() const {
  QMutexLocker lock(&text_mutex_);
  return file_name_;
}

QString recorder::failure_message() const {
  QMutexLocker lock(&text_mutex_);
  return failure_message_;
}

bool recorder::start_weaving() {
  if (!supply_) return true;
  // Fields converted for an earlier recording, or while this one's file
  // was being opened, are not this one's.
  supply_->discard_fields();
  feed_state_ = {};
  fields_missing = 0;
  weave_frame_ = frame_buffer::allocate(recording_frame_bytes);
  if (!weave_frame_) {
    fail(QStringLiteral("Not enough memory to start a recording."));
    return false;
  }
  // Until both fields of the first frame have come the odd rows hold
  // nothing: they start black rather than as leftover memory.
  std::memset(weave_frame_.data(), 0, recording_frame_bytes);
  supply_->set_recording(true);
  return true;
}

void recorder::take_fields() {
  if (!supply_ || !weave_frame_) return;
  // The render thread turns the recording's conversion off when the first
  // field of the process starts it: a recording started before that turns
  // it on again.
  if (!stop_requested_) {
    supply_->set_recording(true);
  } else if (feed_state_.until_ns == INT64_MAX) {
    // Asked to stop: fields that came after the instant are not this
    // recording's, however soon they are taken.
    const int64_t stop = stop_at_ns.load();
    feed_state_.until_ns = stop >= 0 ? stop : steady_clock_ns();
  }
  supply_->take_fields([this](const recorded_field& field) {
    weave_frame_ =
        record_numbered_field(*this, field.pixels, std::move(weave_frame_), active_.frame_width, active_.field_lines,
                              woven_bytes_per_pixel, field.flag, field.serial, field.arrival_ns, &feed_state_);
  });
  fields_missing = feed_state_.fields_missing;
}

void recorder::take_last_fields() {
  if (!supply_ || !weave_frame_) return;
  // Every field that came before the stop goes in (the render thread is
  // given a moment to convert what it holds), none that came later.
  supply_->wait_until_converted(200);
  supply_->set_recording(false);
  take_fields();
}

void recorder::queue_missing_frames(int64_t count) {
  // Those the clock has repeated already are not repeated twice.
  const int64_t repeated = std::min(std::max<int64_t>(count, 0), clock_repeats_since_frame);
  clock_repeats_since_frame -= repeated;
  for (int64_t i = repeated; i < count; ++i) video_queue.emplace_back();
}

int64_t recorder_counters::frames_lost(int64_t at_least) const {
  return std::max(frame_periods - frames_received, at_least);
}

int64_t recorder_counters::frames_lost_untold(int64_t at_least) const {
  // Frames thrown away before they were written were told lost already.
  return std::max<int64_t>(0, frames_lost(at_least) - int64_t(frames_dropped_in_recording));
}

void recorder::count_damaged_frame() {
  ++frames_damaged;
  emit dropped_frames(1);
}

void recorder::count_dropped_frames(uint count) {
  dropped_frame_count += count;
  emit dropped_frames(count);
}

void recorder::add_audio(const QByteArray& bytes) {
  if (sound_closed || failed) return;
  const int64_t now = steady_clock_ns();
  pending_audio.append(bytes);
  const unsigned chunk = audio_chunk_bytes;
  if (chunk == 0) return;  // no audio stream yet: the bytes wait
  const qsizetype whole = pending_audio.size() / qsizetype(chunk) * qsizetype(chunk);
  std::vector<QByteArray> chunks;
  chunks.reserve(size_t(whole / qsizetype(chunk)));
  for (qsizetype offset = 0; offset < whole; offset += chunk)
    chunks.emplace_back(pending_audio.constData() + offset, qsizetype(chunk));
  pending_audio.remove(0, whole);
  int64_t dropped = 0;
  {
    QMutexLocker lock(&queue_mutex);
    if (failed) return;
    for (QByteArray& c : chunks) audio_queue.push_back(std::move(c));
    sound_queued_samples += whole / 4;
    // Everything received so far, the bytes short of a chunk included.
    sound_arrivals.append({sound_queued_samples + pending_audio.size() / 4, now});
    if (last_sound_ns >= 0) longest_sound_gap_ns = std::max(longest_sound_gap_ns, now - last_sound_ns);
    last_sound_ns = now;
    // Bounded: a recording that cannot keep up loses its oldest sound.
    const size_t limit =
        size_t(std::max<qsizetype>(1, qsizetype(active_.tuning.max_queued_sound_seconds * audio_byte_rate) / chunk));
    const uint gone = audio_queue.size() > limit ? drop_audio_chunks(uint(limit)) : 0;
    dropped = int64_t(gone) * chunk / 4;
    sound_dropped_untaken += dropped;
    while (sound_arrivals.size() > 4096) sound_arrivals.removeFirst();
  }
  if (dropped > 0) {
    // Told when it starts, then once a second's worth.
    const int64_t before = sound_dropped_samples.fetch_add(dropped);
    if (before == 0 || (before + dropped) / sample_rate > before / sample_rate)
      qCDebug(record_log).noquote() << QString("audio: the recording cannot keep up; %1 ms of sound dropped so far")
                                           .arg((before + dropped) * 1000 / sample_rate);
  }
}

uint recorder::drop_video_frames(uint keep) {
  // Frames hold memory, repeats do not: the bound is on frames, and only
  // they count as dropped. A repeat that goes with them is a frame period
  // the recording's clock still counts as lost.
  uint dropped = 0;
  while (!video_queue.empty() && (uint(frame_arrivals.size()) > keep || keep == 0)) {
    const bool repeat = video_queue.front().empty();
    video_queue.pop_front();
    if (repeat) continue;
    if (!frame_arrivals.isEmpty()) frame_arrivals.removeFirst();
    ++dropped;
  }
  return dropped;
}

uint recorder::drop_audio_chunks(uint keep) {
  uint dropped = 0;
  while (audio_queue.size() > keep) {
    audio_queue.pop_front();
    ++dropped;
  }
  return dropped;
}

void recorder::empty_queues() {
  QMutexLocker lock(&queue_mutex);
  drop_audio_chunks(0);
  drop_video_frames(0);
  frame_arrivals.clear();
  sound_arrivals.clear();
  sound_queued_samples = 0;
  sound_dropped_untaken = 0;
  last_sound_ns = -1;
  longest_sound_gap_ns = 0;
}

int recorder::split_limit() const {
  if (active_.tuning.split_frames > 0) return active_.tuning.split_frames;
  return int(active_.rate.frames_in_seconds(file_seconds));
}

void recorder::fail(const QString& message) {
  QMutexLocker lock(&text_mutex_);
  if (failure_message_.isEmpty()) failure_message_ = message;
}

bool recorder::writer_failed() {
  fail(writer.failure_message());
  return false;
}

void recorder::make_unique_file_name() {
  QString name = active_.base_name + active_.extension;
  int n = 1;
  while (QFileInfo::exists(name)) {
    ++n;
    name = active_.base_name + QString::number(n) + active_.extension;
  }
  QMutexLocker lock(&text_mutex_);
  file_name_ = name;
}

bool recorder::open_file() {
  make_unique_file_name();
  avi_format format;
  format.width = active_.frame_width;
  format.height = 2 * active_.field_lines;
  format.pixel_format = active_.pixel_format;
  format.rate = active_.rate;
  format.widescreen = active_.widescreen;
  format.sample_rate = sample_rate;
  avi_file_options options;
  options.journal_directory = active_.journal_directory;
  options.reserve_bytes = active_.reserve_bytes;
  options.keep_free_bytes = active_.keep_free_bytes;
  options.forced_free_bytes = active_.tuning.forced_free_bytes;
  const bool opened = writer.open(file_name_, format, options);
  // From the file's sound stream on, the sound handed over is cut into its chunks.
  if (const unsigned bytes = writer.chunk_bytes(); bytes > 0) audio_chunk_bytes = bytes;
  if (!opened) return writer_failed();
  frames_encoded = 0;
  rate_from_frame = -1;
  return true;
}

bool recorder::close_file() { return writer.close() || writer_failed(); }

bool recorder::write_frame(frame_buffer frame) {
  ++frames_encoded;  // a frame counts as consumed whatever becomes of it
  const bool written = frame ? writer.write_frame(std::move(frame)) : writer.write_repeated_frame();
  count_bytes();
  return written || writer_failed();
}

void recorder::work() {
  {
    QMutexLocker lock(&text_mutex_);
    failure_message_.clear();
  }
  bool stopped_at_limit = false;
  bool ok = open_file();
  // What arrived while the file was being opened is not recorded.
  empty_queues();
  if (ok) ok = start_weaving();
  sound = std::make_unique<sound_path>(active_.rate.samples_per_frame(sample_rate), sample_rate);
  sound_out.clear();
  sound_out_read = 0;
  clock_fills_unclaimed = 0;
  pictures_in_closed_files = 0;
  sound_in_closed_files = 0;
  sound_owed = 0;
  split_waits_since_ns = -1;
  steady_origin_ns = steady_clock_ns();
  recording_timer.start();
  clock_start_ns = steady_clock_ns();
  if (ok && !stop_requested_) {
    do {
      take_fields();
      ok = interleave();
      if (!ok) break;
      status_pass();
      if (at_frame_limit()) {
        stopped_at_limit = true;
        break;
      }
      if (split_due()) {
        // The closing file gets the sound of its own pictures, waited for
        // a while if it is still on its way.
        const int64_t now = steady_clock_ns();
        if (split_waits_since_ns < 0) split_waits_since_ns = now;
        take_sound(false);
        const sound_end end = sound_to_picture_end(
            now - split_waits_since_ns >= int64_t(active_.tuning.split_sound_wait_ms) * 1000000, true);
        if (end == sound_end::failed) {
          ok = false;
          break;
        }
        if (end == sound_end::reached) {
          split_waits_since_ns = -1;
          if (!(ok = start_next_file())) break;
        }
      }
      QThread::msleep(pass_sleep_ms);
      ++passes;
    } while (!stop_requested_);
    if (ok && !stopped_at_limit) take_last_fields();
    if (ok && stopped_at_limit) {
      // Exactly the frames asked for, and the sound up to their end.
      frame_periods = frames_received + frames_repeated;
      wait_for_last_sound(frame_periods);
      sound->finish(&sound_out);
      drop_owed_sound();
      ok = end_sound_with_pictures();
      qCDebug(record_log).noquote()
          << QString("recording: %1 ends at its limit of %2 frames").arg(file_name_).arg(active_.frame_limit);
    } else if (ok && active_.keep_time) {
      ok = finish_recording();
    }
  }
  if (supply_) supply_->set_recording(false);
  weave_frame_ = frame_buffer();
  // Every ending accounts for the frame periods the recording lasted: at
  // least the frames its files hold.
  frame_periods = std::max(frame_periods.load(), frames_received + frames_repeated);
  if (stopped_by_full_disk) {
    // Ended inside the room the file kept for it: whole and indexed.
    if (end_sound_with_pictures()) close_file();
    qCDebug(record_log).noquote()
        << QString("recording: the disk is full; %1 ends after %2 frames").arg(file_name_).arg(frames_encoded.load());
    fail(QString("The disk is full. The recording stopped, and the file '%1' holds everything recorded until then.")
             .arg(file_name_));
    ok = false;
  }
  // Close even after an error, so the file gets its trailer if it can.
  if (!close_file()) ok = false;
  if (!ok) {
    QMutexLocker lock(&queue_mutex);
    failed = true;
  }
  empty_queues();
  sound_cuts = sound->sync.cuts;
  sound_paddings = sound->sync.silences;
  sound_missing_samples = sound->missing_samples;
  sound_clock_ppm = sound->sync.clock_difference_ppm();
  if (sound->sync.tracking())
    qCDebug(record_log).noquote()
        << QString(
               "recording: the sound's clock ran %1 ppm against the picture's; resampled to keep "
               "them together, with %2 cuts and %3 paddings for jumps")
               .arg(sound_clock_ppm.load(), 0, 'f', 1)
               .arg(sound_cuts.load())
               .arg(sound_paddings.load());
  if (sound_missing_samples > 0 || sound_dropped_samples > 0)
    qCDebug(record_log).noquote() << QString(
                                         "recording: %1 ms of sound never came (silence in its place), %2 ms dropped")
                                         .arg(sound_missing_samples.load() * 1000 / sample_rate)
                                         .arg(sound_dropped_samples.load() * 1000 / sample_rate);
  sound.reset();
  sound_out = {};
  sound_closed = true;
  if (!ok) emit recording_failed(failure_message());
  if (ok && stopped_at_limit) emit limit_reached();
}

void recorder::take_sound(bool all) {
  std::vector<QByteArray> chunks;
  QList<sound_arrival> arrivals;
  int64_t dropped = 0;
  {
    QMutexLocker lock(&queue_mutex);
    arrivals.swap(sound_arrivals);
    dropped = sound_dropped_untaken;
    sound_dropped_untaken = 0;
    const unsigned chunk = audio_chunk_bytes;
    int64_t room = sound_out_limit - int64_t(sound_out_frames());
    while (!audio_queue.empty() && (all || room > 0)) {
      chunks.push_back(std::move(audio_queue.front()));
      audio_queue.pop_front();
      room -= chunk / 4;
    }
  }
  // Only a live source has a clock of its own to follow; otherwise the sound
  // goes into the file as it came.
  if (active_.keep_time) {
    for (const sound_arrival& a : arrivals) sound->sync.sound(a.position, double(a.ns - steady_origin_ns) * 1e-9);
  }
  sound->skip(dropped);
  const bool was_tracking = sound->sync.tracking();
  for (const QByteArray& chunk : chunks)
    sound->take(reinterpret_cast<const int16_t*>(chunk.constData()), chunk.size() / 4, &sound_out);
  drop_owed_sound();
  if (!was_tracking && sound->sync.tracking())
    qCDebug(record_log).noquote()
        << QString(
               "recording: sound and picture clocks known after %1 s; the sound's runs %2 ppm "
               "against the picture's")
               .arg(double(steady_clock_ns() - steady_origin_ns) * 1e-9, 0, 'f', 1)
               .arg(sound->sync.clock_difference_ppm(), 0, 'f', 1);
}

bool recorder::make_up_missing_sound() {
  {
    QMutexLocker lock(&queue_mutex);
    if (video_queue.empty()) return false;
    // The oldest real frame's wait; repeats wait as long as the frames after them.
    const int64_t waited = frame_arrivals.isEmpty() ? 0 : steady_clock_ns() - frame_arrivals.first();
    const size_t long_queue = size_t(no_sound_wait_ns / 1e9 * active_.rate.per_second());
    if (waited < no_sound_wait_ns && video_queue.size() <= long_queue) return false;
  }
  // Enough to write the next frame against.
  const int64_t wanted = writer.sound_short_of_picture(1);
  const int64_t chunk_frames = writer.chunk_frames();
  int64_t frames = std::max<int64_t>(wanted - int64_t(sound_out_frames()), chunk_frames);
  frames = (frames + chunk_frames - 1) / chunk_frames * chunk_frames;
  sound->add_silence(frames, &sound_out);
  // Placed by the pictures' time: no sound is owed for silence at a split.
  sound_owed = 0;
  return true;
}

bool recorder::write_sound_chunk() {
  if (sound_out_frames() < size_t(writer.chunk_frames())) return false;
  return write_sound_out(writer.chunk_frames());
}

bool recorder::take_frame(frame_buffer* frame, int64_t* arrival_ns) {
  QMutexLocker lock(&queue_mutex);
  if (video_queue.empty()) return false;
  *frame = std::move(video_queue.front());
  video_queue.pop_front();
  *arrival_ns = -1;
  if (*frame && !frame_arrivals.isEmpty()) *arrival_ns = frame_arrivals.takeFirst();
  return true;
}

bool recorder::interleave() {
  if (audio_chunk_bytes == 0) return true;
  const int64_t deadline = steady_clock_ns() + int64_t(pass_budget_ms) * 1000000;
  take_sound(false);
  for (;;) {
    if (at_frame_limit()) break;
    // The rest goes into the next file.
    if (split_due()) break;
    {
      QMutexLocker lock(&queue_mutex);
      if (video_queue.empty()) break;
    }
    const size_t chunk_frames = size_t(writer.chunk_frames());
    if (sound_out_frames() < chunk_frames) {
      take_sound(false);
      if (sound_out_frames() < chunk_frames && !make_up_missing_sound()) break;
    }
    if (!write_sound_chunk()) return false;
    // A frame once the sound has reached its start.
    if (writer.compare_video_to_sound() <= 0) {
      frame_buffer frame;
      int64_t arrival = -1;
      if (take_frame(&frame, &arrival) && !write_queued_frame(std::move(frame), arrival)) return false;
      // A write may take long (a busy disk, a slow machine): the render
      // thread's few slots are emptied into the frame queue after each, so
      // it is the frame queue's seconds that absorb a slow write.
      take_fields();
    }
    if (disk_nearly_full()) return false;
    // Writing slower than the picture: the rest waits for the next pass.
    if (steady_clock_ns() > deadline) break;
  }
  return true;
}

bool recorder::file_size_limit_near() const { return writer.size_limit_near(); }

bool recorder::split_due() const { return frames_encoded >= split_limit() || file_size_limit_near(); }

bool recorder::start_next_file() {
  const bool for_size = file_size_limit_near();
  if (for_size && frames_encoded == 0) {
    fail(QString("The file system of '%1' does not allow a file large enough for a recording.").arg(file_name_));
    return false;
  }
  if (for_size)
    qCDebug(record_log).noquote()
        << QString("recording: %1 is as large as its file system allows; going on in the next file").arg(file_name_);
  bytes_in_closed_files += writer.bytes_written();
  pictures_in_closed_files += writer.pictures_written();
  sound_in_closed_files += writer.sound_written();
  if (!close_file() || !open_file()) return false;
  recording_timer.start();
  return true;
}

// A queued frame, or a repeat where the queue holds none (empty).
bool recorder::write_queued_frame(frame_buffer frame, int64_t arrival_ns) {
  if (!frame) {
    ++frames_repeated;
    return write_frame(frame_buffer());
  }
  if (active_.keep_time && arrival_ns >= 0 && clock_fills_unclaimed > 0) {
    // The clock repeated frames that had not come: this one came from the
    // stick in a period a repeat has gone out for already (it was only
    // late, held up on a busy machine), so it gives way to that repeat and
    // every later picture keeps its time. The first frame in its own period
    // shows the rest of the repeats were for frames that never came.
    if (frames_received + frames_repeated >= clock_periods(arrival_ns) + 1) {
      --clock_fills_unclaimed;
      count_dropped_frames(1);
      return true;
    }
    clock_fills_unclaimed = 0;
  }
  if (active_.keep_time && arrival_ns >= 0)
    sound->sync.picture(frames_received + frames_repeated, double(arrival_ns - steady_origin_ns) * 1e-9);
  ++frames_received;
  if (const int ms = slow_write_ms; ms > 0) QThread::msleep(ulong(ms));
  return write_frame(std::move(frame));
}

int64_t recorder::clock_periods(int64_t at_ns) const {
  // The picture's own clock once it is known: a stick whose field clock
  // runs slow has no frames missing, however far it falls behind the
  // computer's clock over hours.
  if (sound && sound->sync.picture_known())
    return int64_t(std::floor(sound->sync.picture_position_at(double(at_ns - steady_origin_ns) * 1e-9))) + 1;
  const double frame_ns = active_.rate.period_ns();
  const int64_t first = first_frame_ns.load();
  // The first frame fills the period it came in.
  if (first < 0) return int64_t(double(at_ns - clock_start_ns.load()) / frame_ns);
  return int64_t(double(at_ns - first) / frame_ns) + 1;
}

int64_t recorder::fill_missing_frames(int64_t after, int64_t allowance) {
  const int64_t periods = clock_periods(steady_clock_ns());
  // Fields converted but not yet woven, or not yet converted, are frames
  // that came: the window may be busy, but they are not lost.
  const int64_t upstream = supply_ ? (supply_->fields_waiting() + 1) / 2 : 0;
  QMutexLocker lock(&queue_mutex);
  const int64_t have = frames_received + frames_repeated + video_queue.size() + upstream;
  if (periods - have <= after) return 0;
  const int64_t missing = periods - have - allowance;
  // They were missed before whatever waits in the queue.
  for (int64_t i = 0; i < missing; ++i) video_queue.emplace_front();
  clock_repeats_since_frame += missing;
  clock_fills_unclaimed += missing;
  return missing;
}

bool recorder::finish_recording() {
  // The feed has handed over every frame that came before the stop: the
  // clock counts the frames due by then (less a few ms, so a frame on its
  // way at that instant is not taken for lost), and those that did not come
  // are repeated, so the file ends as long as the recording lasted.
  const int64_t stop_ns = stop_at_ns.load();
  const int64_t due = clock_periods((stop_ns >= 0 ? stop_ns : steady_clock_ns()) - stop_margin_ns);
  int64_t late = 0;
  {
    QMutexLocker lock(&queue_mutex);
    const int64_t have = frames_received + frames_repeated + video_queue.size();
    frame_periods = std::max(due, have);
    late = frame_periods - have;
    for (int64_t i = 0; i < late; ++i) video_queue.emplace_back();
  }
  if (late > 0) qCDebug(record_log) << "recording: the last" << late << "frames never came: repeated";
  // Everything queued, the sound up to the pictures' time: the sound that
  // goes beyond it has no pictures and is left out. A stop is prompt: what
  // cannot be written in time is dropped and told.
  wait_for_last_sound(frame_periods);
  take_sound(true);
  sound->finish(&sound_out);
  drop_owed_sound();
  const int64_t deadline = steady_clock_ns() + int64_t(active_.tuning.stop_budget_ms) * 1000000;
  int64_t cut_at_stop = 0;
  for (;;) {
    if (steady_clock_ns() > deadline) {
      uint dropped = 0;
      {
        QMutexLocker lock(&queue_mutex);
        dropped = drop_video_frames(0);
      }
      if (dropped > 0) {
        qCDebug(record_log) << "recording:" << dropped
                            << "frames still queued at the stop could not be written in time";
        count_dropped_frames(dropped);
      }
      cut_at_stop = dropped;
      break;
    }
    // Whole chunks of sound while they end within the pictures written: at
    // a split the file's sound then ends exactly with them.
    const int chunk_frames = writer.chunk_frames();
    const bool sound_first =
        sound_out_frames() >= size_t(chunk_frames) && writer.compare_video_to_sound(2 * int64_t(chunk_frames)) >= 0;
    if (sound_first) {
      if (!write_sound_chunk()) return false;
      continue;
    }
    if (at_frame_limit()) break;
    frame_buffer frame;
    int64_t arrival = -1;
    // A late frame queued here that gave way to the repeat in its period
    // leaves the frames due one short: a repeat at the end, so the file
    // still ends as long as the recording lasted.
    if (!take_frame(&frame, &arrival) && frames_received + frames_repeated >= due) break;
    // Everything has come that will: silence for what has not.
    if (split_due() && (sound_to_picture_end(true, true) != sound_end::reached || !start_next_file())) return false;
    if (!write_queued_frame(std::move(frame), arrival)) return false;
    if (disk_nearly_full()) return false;
  }
  // The periods as written: frames that gave way were counted queued, and
  // stand in the file as the repeats in their place.
  if (!at_frame_limit()) frame_periods = std::max(due, frames_received + frames_repeated + cut_at_stop);
  return end_sound_with_pictures();
}

void recorder::wait_for_last_sound(int64_t pictures) {
  constexpr int64_t margin_ns = 100 * 1000 * 1000;
  constexpr int64_t longest_gap_counted_ns = 500 * 1000 * 1000;
  const int64_t start = steady_clock_ns();
  const int64_t give_up = start + int64_t(active_.tuning.last_sound_wait_ms) * 1000000;
  int64_t short_by = 0;
  for (;;) {
    take_sound(true);
    // Where the sound taken so far ends in the files, against the pictures.
    short_by = sound_for_pictures(pictures) - (std::llround(sound->next_output()) + sound_owed);
    if (short_by <= 0) break;
    int64_t last_ns = -1, gap_ns = 0;
    {
      QMutexLocker lock(&queue_mutex);
      last_ns = last_sound_ns;
      gap_ns = std::min(longest_sound_gap_ns, longest_gap_counted_ns);
    }
    // No sound in this recording: none is on its way either.
    if (last_ns < 0) break;
    const int64_t due = last_ns + short_by * 1000000000 / sample_rate + gap_ns + margin_ns;
    const int64_t now = steady_clock_ns();
    if (now >= due || now >= give_up) break;
    QThread::msleep(5);
  }
  sound_closed = true;
  take_sound(true);
  const int64_t waited_ms = (steady_clock_ns() - start) / 1000000;
  if (waited_ms > 0 || short_by > 0)
    qCDebug(record_log).noquote()
        << QString("recording: waited %1 ms for the sound of the last frames; %2 ms of it had not come")
               .arg(waited_ms)
               .arg(std::max<int64_t>(short_by, 0) * 1000 / sample_rate);
}

bool recorder::at_frame_limit() const {
  return active_.frame_limit > 0 && frames_received + frames_repeated >= active_.frame_limit;
}

void recorder::keep_room_for_a_minute() {
  if (!active_.keep_a_minute_free || !writer.is_open()) return;
  // A second of frames after the first tells the rate (the header, written
  // first, is no part of it); until then the room asked for at the start
  // stays.
  const int frames = frames_encoded;
  if (frames < 1) return;
  if (rate_from_frame < 0) {
    rate_from_frame = frames;
    rate_from_bytes = writer.bytes_written();
    return;
  }
  if (frames - rate_from_frame < int(active_.rate.per_second())) return;
  const double frames_a_minute = 60.0 * active_.rate.per_second();
  const double bytes_per_frame = double(writer.bytes_written() - rate_from_bytes) / (frames - rate_from_frame);
  // The index: 16 bytes for each frame's chunk and each sound chunk, for
  // the file so far and the minute to come.
  const double index = 16.0 * 2.0 * (frames + frames_a_minute);
  writer.set_keep_free(int64_t(bytes_per_frame * frames_a_minute + index));
}

void recorder::count_bytes() { bytes_written = bytes_in_closed_files + writer.bytes_written(); }

bool recorder::disk_nearly_full() {
  if (!writer.space_low()) return false;
  stopped_by_full_disk = true;
  return true;
}

int64_t recorder::sound_for_pictures(int64_t pictures) const {
  // The fraction of a frame's sound (1601.6 sample frames at 30000/1001)
  // is carried from file to file.
  return active_.rate.samples_for_frames(pictures, sample_rate);
}

bool recorder::write_sound_out(int frames) {
  if (!writer.write_sound(reinterpret_cast<const uint8_t*>(sound_out.data() + sound_out_read), frames))
    return writer_failed();
  sound_out_read += size_t(frames) * 2;
  if (sound_out_read > sound_out.size() / 2 && sound_out_read > 65536) {
    sound_out.erase(sound_out.begin(), sound_out.begin() + ptrdiff_t(sound_out_read));
    sound_out_read = 0;
  }
  return true;
}

void recorder::drop_owed_sound() {
  const int64_t dropped = std::min<int64_t>(sound_owed, int64_t(sound_out_frames()));
  if (dropped <= 0) return;
  sound_out_read += size_t(dropped) * 2;
  sound_owed -= dropped;
}

recorder::sound_end recorder::sound_to_picture_end(bool pad, bool at_split) {
  if (!writer.is_open()) return sound_end::failed;
  const int chunk_frames = writer.chunk_frames();
  if (chunk_frames == 0) return sound_end::reached;
  const int64_t pictures = pictures_in_closed_files + writer.pictures_written();
  int64_t left = sound_for_pictures(pictures) - sound_in_closed_files - writer.sound_written();
  int64_t padded = 0;
  bool flushed = false;
  while (left > 0) {
    const int wanted = int(std::min<int64_t>(left, chunk_frames));
    const int have = int(std::min<size_t>(sound_out_frames(), size_t(wanted)));
    if (have < wanted && !pad) return sound_end::short_of_it;
    if (have == 0 && !flushed) {
      // The few samples the resampler holds back for its taps go in before
      // the silence.
      flushed = true;
      sound->finish(&sound_out);
      drop_owed_sound();
      continue;
    }
    if (have > 0) {
      if (!write_sound_out(have)) return sound_end::failed;
      left -= have;
      continue;
    }
    // Silence for the rest; the sound it stands for is dropped when it
    // comes (in the next file), so what follows keeps its place.
    if (!writer.write_silence(wanted)) {
      writer_failed();
      return sound_end::failed;
    }
    left -= wanted;
    padded += wanted;
  }
  if (padded == 0) return sound_end::reached;
  if (at_split) {
    sound_owed += padded;
    sound->missing_samples += padded;
  }
  qCDebug(record_log).noquote()
      << QString("recording: %1 ms of sound for the end of %2 had not come (silence in its place)")
             .arg(padded * 1000 / sample_rate)
             .arg(QFileInfo(file_name_).fileName());
  return sound_end::reached;
}

void recorder::status_pass() {
  keep_room_for_a_minute();
  if (active_.keep_time) {
    const int64_t filled = fill_missing_frames(fill_after_frames, frames_on_their_way);
    // Told once a gap: when it starts and when frames come again.
    if (filled > 0) {
      if (repeats_in_gap == 0) qCDebug(record_log) << "recording: frames stopped coming; repeating the last one";
      repeats_in_gap += filled;
      received_at_fill = frames_received;
    } else if (repeats_in_gap > 0 && frames_received > received_at_fill + fill_after_frames) {
      qCDebug(record_log) << "recording: frames come again after" << repeats_in_gap << "repeated in their place";
      repeats_in_gap = 0;
    }
  }
  const double frame_ms = active_.rate.period_ms();
  const double supposed = recording_timer.elapsed() / frame_ms;
  const int encoded = frames_encoded;
  size_t queued_frames = 0, queued_chunks = 0;
  {
    QMutexLocker lock(&queue_mutex);
    queued_frames = video_queue.size();
    queued_chunks = audio_queue.size();
  }
  // Written after the lock is left: a terminal that blocks holds up no one
  // who waits for the queues.
  // Items separated by one space, the last one followed by a space too.
  qCDebug(record_log).noquote().nospace()
      << '"' << QString("%1").arg(encoded - supposed, 10, 'f', 10) << '"' << " : supposed to have encoded "
      << QString::number(supposed, 'g', 6) << " actually encoded " << encoded << " ; video_queue.size() "
      << queued_frames << " audio_queue.size() " << queued_chunks << ' ';
}
