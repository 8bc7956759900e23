// The main window's recording: the capture file and "Stop after" asked, the
// disk's room questioned, start and stop from the menus, the settings locked
// while recording, its progress in the title, and how a recording that
// ended by itself, or had to end, is told.
#include <QAction>
#include <QCheckBox>
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

#include "app/main_menus.h"
#include "app/main_window.h"
#include "app/notice_line.h"
#include "base/logging.h"

namespace {
// A stick silent for this long ends a recording; a shorter stall is
// recorded as lost frames.
constexpr unsigned stall_limit_s = 10;

QString size_text(int64_t bytes) {
  if (bytes >= (int64_t(1) << 30)) return QString("%1 GB").arg(double(bytes) / double(1 << 30), 0, 'f', 2);
  return QString("%1 MB").arg(double(bytes) / double(1 << 20), 0, 'f', 1);
}
}  // namespace

void main_window::ask_capture_file() {
  QFileDialog dialog(this, tr("Set Capture File"), QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
                     QString("*%1").arg(recording_.next_settings().extension));
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // Never asked: an existing name gets the next free number instead.
  dialog.setOptions(dialog.options() | QFileDialog::DontConfirmOverwrite);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString name = dialog.selectedFiles().first();
  ::recording_settings& next = recording_.next_settings();
  name.remove(QRegularExpression(QString("\\%1$").arg(next.extension), QRegularExpression::CaseInsensitiveOption));
  next.base_name = name;
  menus_->set_recording(false, true);
}

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
  const int64_t whole_minutes = (recording_.stop_after_ms() + 59999) / 60000;
  hours->setValue(int(std::min<int64_t>(whole_minutes / 60, 99)));
  minutes->setValue(int(whole_minutes % 60));
  layout->addRow(tr("&Hours:"), hours);
  layout->addRow(tr("&Minutes:"), minutes);
  // A tape played to its end: blue or black with no signal, for as long
  // as nobody comes.
  auto* without_signal = new QCheckBox(tr("Stop when there has been &no signal for"), &dialog);
  without_signal->setObjectName("stop_without_signal");
  auto* signal_minutes = new QSpinBox(&dialog);
  signal_minutes->setObjectName("signal_minutes");
  signal_minutes->setRange(1, 240);
  signal_minutes->setSuffix(tr(" minutes"));
  const int64_t signal_ms = signal_watch_.stop_without_signal_ms();
  without_signal->setChecked(signal_ms > 0);
  signal_minutes->setValue(signal_ms > 0 ? int(std::clamp<int64_t>((signal_ms + 59999) / 60000, 1, 240)) : 5);
  signal_minutes->setEnabled(signal_ms > 0);
  connect(without_signal, &QCheckBox::toggled, signal_minutes, &QWidget::setEnabled);
  layout->addRow(without_signal, signal_minutes);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  layout->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return;
  recording_.set_stop_after_ms((int64_t(hours->value()) * 60 + minutes->value()) * 60000);
  // A recording that runs already keeps the limit it started with; the
  // next one takes this. The stop without a signal holds at once: it is
  // about the tape, not the file.
  signal_watch_.set_stop_without_signal_ms(without_signal->isChecked() ? int64_t(signal_minutes->value()) * 60000 : 0);
}

bool main_window::room_for_recording() {
  const disk_room room = recording_.room_for(current_capture_);
  if (!room.worth_asking()) return true;
  const int64_t free = room.free_bytes;
  const double rate = room.bytes_per_second;
  const QString folder = QFileInfo(recording_.next_settings().base_name).absolutePath();
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
  recording_.use_all_room();
  return true;
}

void main_window::start_recording() {
  if (recording_.is_recording()) return;
  if (!room_for_recording()) return;
  if (!recording_.start(current_capture_)) {
    QMessageBox::critical(this, tr("Ostrevin"),
                          tr("The last recording is still being finished on the disk. Try again in a moment."),
                          QMessageBox::Ok, QMessageBox::NoButton);
    return;
  }
  notice_->set_recording(QString());
  ended_title_.clear();
  signal_watch_.recording_started();
  menus_->set_recording(true, true);
  show_signal();
  show_recording_status();
  status_timer_->start();
}

QString main_window::stop_recording() {
  if (!recording_.is_recording()) return QString();
  // This thread's event loop is held up while the recorder ends: the sound
  // of the last frames is read straight away meanwhile.
  recording_.stop([this] { sound_.read_now(); });
  return recording_stopped();
}

QString main_window::recording_stopped() {
  menus_->set_recording(false, true);
  status_timer_->stop();
  show_recording_status();
  show_signal();
  // Tapes have blank stretches: the recording went on through them, and
  // says how long they were.
  const int64_t without_signal_ms = signal_watch_.recording_stopped();
  if (without_signal_ms <= 0) return QString();
  const QString account = tr("The recording went %1.").arg(signal_watch::account(without_signal_ms));
  qCInfo(app_log).noquote() << "Ostrevin:" << account;
  return account;
}

void main_window::recording_ended(recording_end why, const QString& message) {
  const QString account = recording_stopped();
  const recording_status ended = recording_.status();
  switch (why) {
    case recording_end::time_limit: {
      const QString held = format_duration(ended.elapsed_ms);
      ended_title_ = tr("Ostrevin - recording stopped at its time limit (%1)").arg(held);
      show_recording_status();
      const QString told = tr("The recording stopped at its time limit. %1 holds %2 and is complete.")
                               .arg(QFileInfo(ended.file_name).fileName(), held);
      qCInfo(app_log).noquote() << "Ostrevin:" << told;
      notice_->set_recording(account.isEmpty() ? told : told + ' ' + account);
      return;
    }
    case recording_end::disk_full:
    case recording_end::failed:
      ended_title_ = why == recording_end::disk_full ? tr("Ostrevin - recording stopped: the disk is full")
                                                     : tr("Ostrevin - recording failed");
      show_recording_status();
      QMessageBox::critical(this, tr("Ostrevin"), message, QMessageBox::Ok, QMessageBox::NoButton);
      return;
  }
}

QString main_window::finish_for_exit() {
  // The process ends without its event loop (the display is gone): the
  // window is not touched, nothing waits for an event. The recording goes
  // first, as a stop ends it: the fields that came before now go in, none
  // later.
  const QString finished = recording_.finish_for_exit();
  // Then the stick, given back as a close gives it back; a stick that does
  // not answer is not waited for long. A repair of an earlier recording is
  // let finish: a file cut in the middle of it would be worse.
  capture_.request_close();
  capture_.wait(3000);
  repair_.wait();
  return finished;
}

void main_window::show_recording_status() {
  const recording_status status = recording_.status();
  if (!status.running) {
    setWindowTitle(ended_title_.isEmpty() ? QString("Ostrevin") : ended_title_);
    return;
  }
  recording_.tell_lost_fields();
  QString time = format_duration(status.elapsed_ms);
  if (status.limit_ms > 0) time = tr("%1 of %2").arg(time, format_duration(status.limit_ms));
  const int64_t lost = status.fields_lost;
  const QString lost_text = lost == 1 ? tr("1 field lost") : tr("%1 fields lost").arg(lost);
  setWindowTitle(tr("Ostrevin - recording %1 - %2 - %3").arg(time, size_text(status.bytes), lost_text));
}

void main_window::stream_state_changed(capture_thread::stream_state state, unsigned count) {
  using stream_state = capture_thread::stream_state;
  notice_->set_stream(notice_line::stream_text(state, count));
  switch (state) {
    case stream_state::flowing:
    case stream_state::damaged:
      break;
    case stream_state::no_fields:
      if (recording_.is_recording() && count >= stall_limit_s)
        end_recording_because(tr("the EasyCap sent no picture for %1 s").arg(count));
      break;
    case stream_state::gone:
      if (recording_.is_recording()) end_recording_because(tr("the EasyCap was unplugged"));
      sound_.stick_gone();
      break;
    case stream_state::not_answering:
      if (recording_.is_recording()) end_recording_because(tr("the EasyCap stopped answering"));
      break;
  }
}

void main_window::end_recording_because(const QString& why, const QString& title) {
  const QString account = stop_recording();
  const recording_status ended = recording_.status();
  const QString told = tr("The recording stopped because %1. %2 holds %3 and is complete.")
                           .arg(why, QFileInfo(ended.file_name).fileName(), format_duration(ended.file_ms));
  qCWarning(app_log).noquote() << "Ostrevin:" << told;
  notice_->set_recording(account.isEmpty() ? told : told + ' ' + account);
  if (title.isEmpty()) return;
  ended_title_ = title;
  show_recording_status();
}
