// The main window's notices: what the stick's stream is doing when it is not
// showing a picture, and a recording that had to end. No modal box: nothing
// waits for an answer, and a recording left overnight must not stop at one.
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>

#include "app/main_window.h"
#include "base/logging.h"
#include "render/video_widget.h"

namespace {
// A stick silent for this long ends a recording; a shorter stall is
// recorded as lost frames.
constexpr unsigned stall_limit_s = 10;

}  // namespace

void main_window::create_notice() {
  notice = new QLabel(display);
  notice->setWordWrap(true);
  notice->setStyleSheet("QLabel { background: rgba(0, 0, 0, 170); color: white; padding: 6px; }");
  notice->hide();
  auto* layout = new QVBoxLayout(display);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch(1);
  layout->addWidget(notice);
}

QString main_window::notice_text() const { return notice && notice->isVisible() ? notice->text() : QString(); }

void main_window::show_notice() {
  QStringList lines;
  if (!stream_notice.isEmpty()) lines << stream_notice;
  if (!recording_notice.isEmpty()) lines << recording_notice;
  notice->setText(lines.join('\n'));
  notice->setVisible(!lines.isEmpty());
}

void main_window::stream_state_changed(capture_thread::stream_state state, unsigned count) {
  using stream_state = capture_thread::stream_state;
  switch (state) {
    case stream_state::flowing:
      stream_notice.clear();
      break;
    case stream_state::no_fields:
      stream_notice = tr("No picture: the EasyCap has sent nothing for %1 s.").arg(count);
      if (recording_.is_recording() && count >= stall_limit_s)
        end_recording_because(tr("the EasyCap sent no picture for %1 s").arg(count));
      break;
    case stream_state::damaged:
      stream_notice = tr("Damaged picture: %1 fields in the last second came incomplete (packets lost on the USB "
                         "bus); the last whole picture stays.")
                          .arg(count);
      break;
    case stream_state::gone:
      stream_notice = tr("The EasyCap was unplugged. Plug it in again to go on.");
      if (recording_.is_recording()) end_recording_because(tr("the EasyCap was unplugged"));
      stick_sound_gone();
      break;
    case stream_state::not_answering:
      stream_notice = tr("The EasyCap does not answer (%1 register transfers failed). Trying again...").arg(count);
      if (recording_.is_recording()) end_recording_because(tr("the EasyCap stopped answering"));
      break;
  }
  show_notice();
}

void main_window::end_recording_because(const QString& why) {
  stop_recording();
  const recording_status ended = recording_.status();
  const QString file = QFileInfo(ended.file_name).fileName();
  const int64_t ms = ended.file_ms;
  recording_notice =
      tr("The recording stopped because %1. %2 holds %3 and is complete.").arg(why, file, format_duration(ms));
  qCWarning(app_log).noquote() << "Ostrevin:" << recording_notice;
  show_notice();
}
