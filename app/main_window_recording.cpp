// The main window's recording: the capture file and "Stop after" asked, the
// disk's room questioned, start and stop from the menus, the settings locked
// while recording, and how a recording that ended by itself is told.
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
  recording_.next_settings().base_name = name;
  menus.capture_action->setEnabled(true);
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
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  layout->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  if (dialog.exec() != QDialog::Accepted) return;
  recording_.set_stop_after_ms((int64_t(hours->value()) * 60 + minutes->value()) * 60000);
  // A recording that runs already keeps the limit it started with; the
  // next one takes this.
}

bool main_window::room_for_recording() {
  const disk_room room = recording_.room_for(current_capture);
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
  if (!recording_.start(current_capture)) {
    QMessageBox::critical(this, tr("Ostrevin"),
                          tr("The last recording is still being finished on the disk. Try again in a moment."),
                          QMessageBox::Ok, QMessageBox::NoButton);
    return;
  }
  recording_notice.clear();
  ended_title.clear();
  show_notice();
  menus.set_capture_file_action->setEnabled(false);
  menus.capture_action->setEnabled(false);
  menus.stop_capture_action->setEnabled(true);
  set_settings_actions_enabled(false);
  show_recording_status();
  status_timer->start();
}

void main_window::stop_recording() {
  if (!recording_.is_recording()) return;
  // This thread's event loop is held up while the recorder ends: the sound
  // of the last frames is read straight away meanwhile.
  recording_.stop([this] { sound_.read_now(); });
  recording_stopped();
}

void main_window::recording_stopped() {
  menus.set_capture_file_action->setEnabled(true);
  menus.capture_action->setEnabled(true);
  menus.stop_capture_action->setEnabled(false);
  set_settings_actions_enabled(true);
  status_timer->stop();
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

void main_window::recording_ended(recording_end why, const QString& message) {
  recording_stopped();
  const recording_status ended = recording_.status();
  switch (why) {
    case recording_end::time_limit: {
      const QString held = format_duration(ended.elapsed_ms);
      ended_title = tr("Ostrevin - recording stopped at its time limit (%1)").arg(held);
      show_recording_status();
      recording_notice = tr("The recording stopped at its time limit. %1 holds %2 and is complete.")
                             .arg(QFileInfo(ended.file_name).fileName(), held);
      qCInfo(app_log).noquote() << "Ostrevin:" << recording_notice;
      show_notice();
      return;
    }
    case recording_end::disk_full:
    case recording_end::failed:
      ended_title = why == recording_end::disk_full ? tr("Ostrevin - recording stopped: the disk is full")
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
