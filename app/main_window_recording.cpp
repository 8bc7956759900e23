// The main window's recording: the capture file, start and stop, the feed
// that weaves encoder fields into whole frames, the settings lock while
// recording, and what happens when the encoder gives up.
#include <sys/statvfs.h>

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "app/main_window.h"
#include "base/logging.h"
#include "record/recording_feed.h"

void main_window::set_capture_file() {
  QFileDialog dialog(this, tr("Set Capture File"), QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
                     QString("*%1").arg(capture_extension));
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // Never asked: an existing name gets the next free number instead.
  dialog.setOptions(dialog.options() | QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString name = dialog.selectedFiles().first();
  name.remove(QRegularExpression(QString("\\%1$").arg(capture_extension), QRegularExpression::CaseInsensitiveOption));
  recorder_.settings.base_name = name;
  menus.capture_action->setEnabled(true);
}

namespace {
// A recording's bytes a second before its own rate is known: the frames
// as the stick sends them (HuffYUV rarely does better on a noisy tape than
// half of that, and can do a little worse) and the sound. Asking early is
// cheap; a disk that fills overnight is not.
double estimated_bytes_per_second(const capture_settings& capture) {
  return double(capture.field_bytes()) * 2.0 * capture.frame_rate() + 48000.0 * 4.0;
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

void main_window::ask_stop_after() {
  QDialog dialog(this);
  dialog.setWindowTitle(tr("Stop after"));
  auto* layout = new QFormLayout(&dialog);
  layout->addRow(new QLabel(tr("Stop each recording by itself after this long (0 hours 0 minutes: no limit).")));
  auto* hours = new QSpinBox(&dialog);
  hours->setObjectName("hours");
  hours->setRange(0, 99);
  hours->setSuffix(tr(" h"));
  auto* minutes = new QSpinBox(&dialog);
  minutes->setObjectName("minutes");
  minutes->setRange(0, 59);
  minutes->setSuffix(tr(" min"));
  const int64_t whole_minutes = (stop_after + 59999) / 60000;
  hours->setValue(int(std::min<int64_t>(whole_minutes / 60, 99)));
  minutes->setValue(int(whole_minutes % 60));
  layout->addRow(tr("&Hours:"), hours);
  layout->addRow(tr("&Minutes:"), minutes);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  layout->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return;
  stop_after = (int64_t(hours->value()) * 60 + minutes->value()) * 60000;
  // A recording that runs already keeps the limit it started with; the
  // next one takes this.
}

bool main_window::room_for_recording() {
  const double rate = estimated_bytes_per_second(current_capture);
  const int64_t minute = int64_t(rate * 60.0);
  recorder_.settings.keep_a_minute_free = true;
  recorder_.settings.keep_free_bytes = minute;
  const int64_t free = free_bytes_for(recorder_.settings.base_name + capture_extension);
  if (free < 0 || double(free) >= rate * ask_below_seconds) return true;
  const QString folder = QFileInfo(recorder_.settings.base_name).absolutePath();
  QMessageBox question(QMessageBox::Warning, tr("Ostrevin"),
                       tr("The disk of %1 has %2 MB free: room for about %3 of recording.\n\nThe recording will "
                          "stop by itself, its file complete, shortly before the disk is full.")
                           .arg(folder)
                           .arg(free >> 20)
                           .arg(format_duration(int64_t(double(free) / rate * 1000.0))),
                       QMessageBox::Cancel, this);
  QPushButton* anyway = question.addButton(tr("Record anyway"), QMessageBox::AcceptRole);
  question.setDefaultButton(QMessageBox::Cancel);
  question.exec();
  if (question.clickedButton() != anyway) return false;
  // Little room, knowingly used: the file keeps just what its end needs.
  recorder_.settings.keep_a_minute_free = false;
  recorder_.settings.keep_free_bytes = 0;
  return true;
}

void main_window::start_recording() {
  if (capturing) return;
  if (!room_for_recording()) return;
  dropped_at_start = dropped_frames_total.load();
  recorder_dropped_at_start = recorder_.dropped_frame_count;

  running_limit_ms = stop_after;
  recorder_.settings.frame_limit =
      stop_after > 0 ? int64_t(double(stop_after) / 1000.0 * current_capture.frame_rate() + 0.5) : 0;
  if (!recorder_.start_recording()) {
    QMessageBox::critical(this, tr("Ostrevin"),
                          tr("The last recording is still being finished on the disk. Try again in a moment."),
                          QMessageBox::Ok, QMessageBox::NoButton);
    return;
  }
  recording_notice.clear();
  ended_title.clear();
  fields_lost_told = 0;
  show_notice();
  menus.set_capture_file_action->setEnabled(false);
  menus.capture_action->setEnabled(false);
  menus.stop_capture_action->setEnabled(true);
  set_settings_actions_enabled(false);
  capturing = true;
  show_recording_status();
  status_timer->start();
}

void main_window::stop_recording() {
  if (!capturing) return;
  // The recording ends now: every field that came before goes in, none
  // that comes later.
  recorder_.stop_at(steady_clock_ns());
  // The sound of the last frames comes after them, through the sound
  // server; the recorder waits for it (a bounded while) before it pads
  // anything with silence. This thread's event loop is held up here, so the
  // input is read straight away until the recorder has ended.
  while (!recorder_.wait(5)) sound_.read_now();
  menus.set_capture_file_action->setEnabled(true);
  menus.capture_action->setEnabled(true);
  menus.stop_capture_action->setEnabled(false);
  set_settings_actions_enabled(true);
  capturing = false;
  status_timer->stop();
  // The frames the recording's clock counted that did not come are lost:
  // those not told yet are told now, so the frames that came and those told
  // lost add up to the frame periods. Frames that went out with an older
  // field (damaged) were told as they went.
  const int64_t damaged = recorder_.frames_damaged;
  const int64_t fields_lost = recorder_.fields_missing;
  dropped_frames(uint(recorder_.frames_lost_untold()));
  qCDebug(app_log).noquote()
      << QString(
             "recording stopped: %1 frame periods by the recording's clock; %2 frames came, %3 "
             "lost (%4 repeated in their place), %5 damaged; %6 fields lost by the capture "
             "pipeline; %7 frames dropped or damaged in this recording, %8 since the program started")
             .arg(recorder_.frame_periods.load())
             .arg(recorder_.frames_received.load())
             .arg(recorder_.frames_lost())
             .arg(recorder_.frames_repeated.load())
             .arg(damaged)
             .arg(fields_lost)
             .arg(dropped_frames_total.load() - dropped_at_start)
             .arg(dropped_frames_total.load());
  tell_lost_fields();
  show_recording_status();
}

void main_window::set_settings_actions_enabled(bool on) {
  for (QAction* action :
       {menus.ntsc_action, menus.pal_action, menus.pal_60_action, menus.composite_action, menus.s_video_action,
        menus.aspect_4_3_action, menus.aspect_16_9_action, menus.line_in_action})
    action->setEnabled(on);
  // A stick without its own sound keeps "&Easycap" disabled for good.
  if (!sound_.is_stick_sound_missing()) menus.easycap_audio_action->setEnabled(on);
}

void main_window::recording_failed(const QString& message) {
  // The encoder thread has closed what it could and ended; back to idle,
  // then tell the user once.
  stop_recording();
  ended_title = recorder_.stopped_by_full_disk ? tr("Ostrevin - recording stopped: the disk is full")
                                               : tr("Ostrevin - recording failed");
  show_recording_status();
  QMessageBox::critical(this, tr("Ostrevin"), message, QMessageBox::Ok, QMessageBox::NoButton);
}

QString main_window::finish_for_exit() {
  // The process ends without its event loop (the display is gone): the
  // window is not touched, nothing waits for an event. The recording goes
  // first, as stop_recording() ends it: the fields that came before now go
  // in, none later.
  QString finished;
  if (!recorder_.stop_requested) {
    recorder_.stop_at(steady_clock_ns());
    // The encoder thread writes what is queued, the sound's end and the
    // index, and closes the file.
    recorder_.wait();
    finished = recorder_.file_name;
  }
  // Then the stick, given back as a close gives it back; a stick that does
  // not answer is not waited for long. A repair of an earlier recording is
  // let finish: a file cut in the middle of it would be worse.
  capture_.request_close();
  capture_.wait(3000);
  if (repair_thread) repair_thread->wait();
  return finished;
}
