// The main window's recording: the capture file, start and stop, the feed
// that weaves encoder fields into whole frames, the settings lock while
// recording, and what happens when the encoder gives up.
#include <QAction>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStandardPaths>
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

void main_window::start_recording() {
  if (capturing) return;
  recording_frame = frame_buffer::allocate(recording_frame_bytes);
  if (!recording_frame) {
    QMessageBox::critical(this, tr("Ostrevin"), tr("Not enough memory to start a recording."), QMessageBox::Ok,
                          QMessageBox::NoButton);
    return;
  }
  // Until both fields of the first frame have arrived the odd rows hold
  // nothing; they start black rather than as leftover memory.
  std::memset(recording_frame.data(), 0, recording_frame_bytes);
  feed_state = {};
  dropped_at_start = dropped_frames_total;
  // Fields converted for an earlier recording are not this one's.
  capture_.renderer.discard_recorded_fields();

  recorder_.start_recording();
  recording_notice.clear();
  show_notice();
  menus.set_capture_file_action->setEnabled(false);
  menus.capture_action->setEnabled(false);
  menus.stop_capture_action->setEnabled(true);
  set_settings_actions_enabled(false);
  capture_.renderer.encoder_feed = true;
  capturing = true;
}

void main_window::stop_recording() {
  if (!capturing) return;
  // The recording ends now: every field that came before goes in (the
  // render thread is given a moment to convert what it holds), none that
  // comes later.
  const int64_t now = steady_clock_ns();
  feed_state.until_ns = now;
  recorder_.stop_at_ns = now;
  capture_.renderer.wait_until_converted(200);
  capture_.renderer.encoder_feed = false;
  feed_recording();
  recorder_.stop_requested = true;
  recorder_.wait();
  menus.set_capture_file_action->setEnabled(true);
  menus.capture_action->setEnabled(true);
  menus.stop_capture_action->setEnabled(false);
  set_settings_actions_enabled(true);
  recording_frame = frame_buffer();
  capture_.renderer.encoder_feed = false;
  capturing = false;
  // The frames the recording's clock counted that did not come are lost:
  // those not told yet are told now, so the frames that came and those told
  // lost add up to the frame periods. Frames that went out with an older
  // field (damaged) were told as they went.
  const int64_t damaged = recorder_.frames_damaged;
  const int64_t fields_lost = feed_state.fields_missing;
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
             .arg(dropped_frames_total - dropped_at_start)
             .arg(dropped_frames_total);
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
  QMessageBox::critical(this, tr("Ostrevin"), message, QMessageBox::Ok, QMessageBox::NoButton);
}

void main_window::feed_recording() {
  // The render thread queues every converted field; taking them costs it
  // nothing, and nothing here holds a lock it needs.
  capture_.renderer.take_recorded_fields([this](const recorded_field& field) {
    recording_frame =
        record_numbered_field(recorder_, field.pixels, std::move(recording_frame), capture_settings::line_pixels,
                              current_capture.field_lines(), encoder_bytes_per_pixel, field.flag, field.serial,
                              field.arrival_ns, &feed_state);
  });
}
