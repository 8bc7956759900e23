// What the window tells beyond the picture: the recording's progress in the
// title, lost fields in the debug output, the debug console --debug opens,
// and the command line's overrides of the stored preferences.
#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>
#include <mutex>

#include "app/debug_console.h"
#include "app/main_window.h"
#include "base/logging.h"

namespace {

QString size_text(int64_t bytes) {
  if (bytes >= (int64_t(1) << 30)) return QString("%1 GB").arg(double(bytes) / double(1 << 30), 0, 'f', 2);
  return QString("%1 MB").arg(double(bytes) / double(1 << 20), 0, 'f', 1);
}

// The console the program's own debug lines also go to (--debug), and the
// handler that was there before. Lines come from every thread; the lock
// keeps the console alive while a line is posted to it.
std::mutex console_mutex;
debug_console* console_for_messages = nullptr;
QtMessageHandler previous_handler = nullptr;

void copy_to_console(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  // The timings of every transfer and field are too many for the terminal:
  // they go to the console (and its file) alone.
  if (previous_handler && !is_timing_category(context.category)) previous_handler(type, context, message);
  if (!context.category || !QByteArray(context.category).startsWith("ostrevin.")) return;
  // What the console logs itself (its lines without their file) is not fed
  // back to it.
  if (debug_console::writing_a_line()) return;
  // The console takes it on the GUI thread.
  std::lock_guard lock(console_mutex);
  if (console_for_messages)
    QMetaObject::invokeMethod(console_for_messages, "set_text", Qt::QueuedConnection, Q_ARG(QString, message));
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

void main_window::open_debug_console() {
  // The program's debug lines on, whatever the logging rules say.
  QLoggingCategory::setFilterRules("ostrevin.*.debug=true");
  console_ = std::make_unique<debug_console>();
  console_->show_text = true;
  console_->flush_each_line = true;
  console_->open_log();
  {
    std::lock_guard lock(console_mutex);
    console_for_messages = console_.get();
  }
  previous_handler = qInstallMessageHandler(copy_to_console);
  console_->show();
}

void main_window::close_debug_console() {
  if (!console_) return;
  qInstallMessageHandler(previous_handler);
  {
    std::lock_guard lock(console_mutex);
    console_for_messages = nullptr;
  }
  console_.reset();
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
