// What the window tells beyond the picture: the recording's progress in the
// title, and the command line's overrides of the stored preferences.
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>

#include "app/main_window.h"
#include "base/logging.h"

namespace {

QString size_text(int64_t bytes) {
  if (bytes >= (int64_t(1) << 30)) return QString("%1 GB").arg(double(bytes) / double(1 << 30), 0, 'f', 2);
  return QString("%1 MB").arg(double(bytes) / double(1 << 20), 0, 'f', 1);
}

}  // namespace

void main_window::show_recording_status() {
  const recording_status status = recording_.status();
  if (!status.running) {
    setWindowTitle(ended_title.isEmpty() ? QString("Ostrevin") : ended_title);
    return;
  }
  recording_.tell_lost_fields();
  QString time = format_duration(status.elapsed_ms);
  if (status.limit_ms > 0) time = tr("%1 of %2").arg(time, format_duration(status.limit_ms));
  const int64_t lost = status.fields_lost;
  const QString lost_text = lost == 1 ? tr("1 field lost") : tr("%1 fields lost").arg(lost);
  setWindowTitle(tr("Ostrevin - recording %1 - %2 - %3").arg(time, size_text(status.bytes), lost_text));
}

void main_window::apply_launch_overrides() {
  if (launch.standard) {
    preferences.sixty_hz = *launch.standard != video_standard::pal;
    preferences.pal_60 = *launch.standard == video_standard::pal_60;
  }
  if (launch.s_video) preferences.s_video = *launch.s_video;
}

preference_set main_window::preferences_to_store() const {
  // What the command line set for this run is not written: the file keeps
  // what it held, until the user chooses that setting from the menus.
  preference_set stored = preferences;
  if (launch.standard) {
    stored.sixty_hz = stored_preferences.sixty_hz;
    stored.pal_60 = stored_preferences.pal_60;
  }
  if (launch.s_video) stored.s_video = stored_preferences.s_video;
  return stored;
}
