#include "app/notice_line.h"

#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int minute_ms = 60 * 1000;
}  // namespace

notice_line::notice_line(QWidget* picture) : QLabel(picture) {
  setObjectName("notice");
  setWordWrap(true);
  setStyleSheet("QLabel { background: rgba(0, 0, 0, 170); color: white; padding: 6px; }");
  hide();
  auto* layout = new QVBoxLayout(picture);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addStretch(1);
  layout->addWidget(this);
}

QString notice_line::stream_text(capture_thread::stream_state state, unsigned count) {
  using stream_state = capture_thread::stream_state;
  switch (state) {
    case stream_state::flowing:
      break;
    case stream_state::no_fields:
      return tr("No picture: the EasyCap has sent nothing for %1 s.").arg(count);
    case stream_state::damaged:
      return tr("Damaged picture: %1 fields in the last second came incomplete (packets lost on the USB "
                "bus); the last whole picture stays.")
          .arg(count);
    case stream_state::gone:
      return tr("The EasyCap was unplugged. Plug it in again to go on.");
    case stream_state::not_answering:
      return tr("The EasyCap does not answer (%1 register transfers failed). Trying again...").arg(count);
  }
  return QString();
}

void notice_line::set_stream(const QString& text) {
  stream_ = text;
  update_text();
}

void notice_line::set_recording(const QString& text) {
  recording_ = text;
  update_text();
}

void notice_line::set_recording_for_a_minute(const QString& text) {
  set_recording(text);
  // Read by now, or in the debug output.
  QTimer::singleShot(minute_ms, this, [this, text] {
    if (recording_ == text) set_recording(QString());
  });
}

void notice_line::update_text() {
  QStringList lines;
  if (!stream_.isEmpty()) lines << stream_;
  if (!recording_.isEmpty()) lines << recording_;
  setText(lines.join('\n'));
  setVisible(!lines.isEmpty());
}
