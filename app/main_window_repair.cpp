// What the repair of recordings a crash left unfinished found
// (app/recording_repair.h), told over the picture.
#include <QTimer>

#include "app/main_window.h"

namespace {
constexpr int notice_seconds = 60;
}  // namespace

void main_window::show_repair_notice(const QString& text) {
  if (recording_.is_recording()) return;  // the notice belongs to the recording now
  recording_notice = text;
  show_notice();
  // Read by now, or in the debug output.
  QTimer::singleShot(notice_seconds * 1000, this, [this, text] {
    if (recording_notice != text) return;
    recording_notice.clear();
    show_notice();
  });
}
