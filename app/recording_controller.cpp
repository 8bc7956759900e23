#include "app/recording_controller.h"

#include <sys/statvfs.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "base/logging.h"
#include "base/stopwatch.h"

namespace {

// A recording's bytes a second before its own rate is known: the frames
// as the stick sends them (HuffYUV rarely does better on a noisy tape than
// half of that, and can do a little worse) and the sound. Asking early is
// cheap; a disk that fills overnight is not.
double estimated_bytes_per_second(const capture_settings& capture) {
  return double(capture.field_bytes()) * 2.0 * capture.rate().per_second() + 48000.0 * 4.0;
}
constexpr double ask_below_seconds = 10 * 60;

// Free bytes where `path` will be written; -1 when that cannot be told.
int64_t free_bytes_for(const QString& path) {
  struct statvfs fs {};
  const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
  if (::statvfs(folder.constData(), &fs) != 0) return -1;
  return int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
}

}  // namespace

bool disk_room::worth_asking() const {
  return free_bytes >= 0 && double(free_bytes) < bytes_per_second * ask_below_seconds;
}

recording_controller::recording_controller(QObject* parent) : QObject(parent) {
  connect(
      &recorder_, &recorder::dropped_frames, this, [this](uint count) { dropped_total_ += count; },
      Qt::DirectConnection);
  connect(&recorder_, &recorder::recording_failed, this, &recording_controller::recorder_failed);
  connect(&recorder_, &recorder::limit_reached, this, &recording_controller::recorder_reached_limit);
}

recording_controller::~recording_controller() {
  if (recorder_.isRunning()) finish_for_exit();
}

disk_room recording_controller::room_for(const capture_settings& capture) {
  disk_room room;
  room.bytes_per_second = estimated_bytes_per_second(capture);
  next_settings_.keep_a_minute_free = true;
  next_settings_.keep_free_bytes = int64_t(room.bytes_per_second * 60.0);
  room.free_bytes = free_bytes_for(next_settings_.base_name + next_settings_.extension);
  return room;
}

void recording_controller::use_all_room() {
  next_settings_.keep_a_minute_free = false;
  next_settings_.keep_free_bytes = 0;
}

bool recording_controller::start(const capture_settings& capture) {
  if (running_) return true;
  dropped_at_start_ = dropped_total_.load();
  // The recording goes at the rate of the capture it records.
  recording_settings settings = next_settings_;
  settings.rate = capture.rate();
  settings.frame_limit =
      stop_after_ms_ > 0 ? int64_t(double(stop_after_ms_) / 1000.0 * settings.rate.per_second() + 0.5) : 0;
  if (!recorder_.start_recording(settings)) return false;
  running_limit_ms_ = stop_after_ms_;
  running_rate_ = settings.rate;
  fields_lost_told_ = 0;
  running_ = true;
  return true;
}

void recording_controller::stop(const std::function<void()>& while_waiting) {
  if (!running_) return;
  recorder_.stop_at(steady_clock_ns());
  // The sound of the last frames comes after them, through the sound
  // server; the recorder waits for it (a bounded while) before it pads
  // anything with silence.
  while (!recorder_.wait(5))
    if (while_waiting) while_waiting();
  running_ = false;
  // The frames the recording's clock counted that did not come are lost:
  // those not told yet are told now, so the frames that came and those told
  // lost add up to the frame periods. Frames that went out with an older
  // field (damaged) were told as they went.
  const recorder_counters ended = recorder_.counters();
  dropped_total_ += uint32_t(ended.frames_lost_untold());
  qCDebug(app_log).noquote()
      << QString(
             "recording stopped: %1 frame periods by the recording's clock; %2 frames came, %3 "
             "lost (%4 repeated in their place), %5 damaged; %6 fields lost by the capture "
             "pipeline; %7 frames dropped or damaged in this recording, %8 since the program started")
             .arg(ended.frame_periods)
             .arg(ended.frames_received)
             .arg(ended.frames_lost())
             .arg(ended.frames_repeated)
             .arg(ended.frames_damaged)
             .arg(ended.fields_missing)
             .arg(dropped_total_.load() - dropped_at_start_)
             .arg(dropped_total_.load());
  tell_lost_fields();
}

QString recording_controller::finish_for_exit() {
  if (recorder_.stop_requested()) return {};
  recorder_.stop_at(steady_clock_ns());
  // The recorder's thread writes what is queued, the sound's end and the
  // index, and closes the file.
  recorder_.wait();
  return recorder_.file_name();
}

void recording_controller::recorder_failed(const QString& message) {
  // The recorder has closed what it could and ended.
  const bool disk_full = recorder_.counters().stopped_by_full_disk;
  stop({});
  emit ended(disk_full ? recording_end::disk_full : recording_end::failed, message);
}

void recording_controller::recorder_reached_limit() {
  if (!running_) return;
  stop({});
  emit ended(recording_end::time_limit, QString());
}

int64_t recording_controller::frames_ms(int64_t frames) const {
  return int64_t(double(frames) * 1000.0 / running_rate_.per_second());
}

int64_t recording_controller::fields_lost() const {
  // What the file is missing: both fields of every frame written as a
  // repeat (they never came: the stick stalled, or the fields were lost on
  // the bus or in the pipeline), one field of every frame woven with an
  // older one, and both fields of every frame that came but had to be
  // thrown away on its way to the file.
  const recorder_counters c = recorder_.counters();
  return 2 * c.frames_repeated + c.frames_damaged + 2 * int64_t(c.frames_dropped_in_recording);
}

recording_status recording_controller::status() const {
  recording_status s;
  s.running = running_;
  const recorder_counters c = recorder_.counters();
  // Every frame in the files, those that came and the repeats.
  s.frames = c.frames_written();
  s.fields_lost = fields_lost();
  s.frames_damaged = c.frames_damaged;
  s.bytes = c.bytes_written;
  s.elapsed_ms = frames_ms(s.frames);
  s.file_ms = frames_ms(c.frames_in_file);
  s.limit_ms = running_limit_ms_;
  // The recorder's thread names the next file as it splits: read once it ended.
  if (!running_) s.file_name = recorder_.file_name();
  return s;
}

void recording_controller::tell_lost_fields() {
  const int64_t lost = fields_lost();
  if (lost <= fields_lost_told_) return;
  qCDebug(app_log).noquote()
      << QString("recording: %1 fields lost (%2 in this recording)").arg(lost - fields_lost_told_).arg(lost);
  fields_lost_told_ = lost;
}
