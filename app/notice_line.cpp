#include "app/notice_line.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr int minute_ms = 60 * 1000;
constexpr int note_ms = 10 * 1000;
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
  layout->setSpacing(0);
  offers_ = new QWidget(picture);
  offers_->setStyleSheet("QWidget { background: rgba(0, 0, 0, 170); }");
  offers_->setAttribute(Qt::WA_StyledBackground);
  offer_layout_ = new QHBoxLayout(offers_);
  offer_layout_->setContentsMargins(6, 0, 6, 6);
  offer_layout_->addStretch(1);
  offers_->hide();
  layout->addWidget(offers_);
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

void notice_line::set_signal(const QString& text, const std::vector<video_standard>& offers, bool can_switch) {
  signal_ = text;
  // The row is made afresh: at most two buttons, and rarely.
  for (QPushButton* old : offers_->findChildren<QPushButton*>()) delete old;
  for (video_standard standard : offers) {
    const QString name = standard == video_standard::ntsc     ? tr("NTSC")
                         : standard == video_standard::pal_60 ? tr("PAL-60")
                                                              : tr("PAL");
    auto* button = new QPushButton(tr("Switch to %1").arg(name), offers_);
    button->setObjectName(QString("switch_to_%1").arg(name.toLower().remove('-')));
    button->setEnabled(can_switch);
    if (!can_switch) button->setToolTip(tr("Not while recording: a recording keeps its standard."));
    connect(button, &QPushButton::clicked, this, [this, standard] { emit standard_offered(standard); });
    offer_layout_->insertWidget(offer_layout_->count() - 1, button);
  }
  offers_->setVisible(!offers.empty());
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

void notice_line::set_note(const QString& text) {
  note_ = text;
  update_text();
  QTimer::singleShot(note_ms, this, [this, text] {
    if (note_ != text) return;
    note_.clear();
    update_text();
  });
}

void notice_line::update_text() {
  QStringList lines;
  if (!stream_.isEmpty()) lines << stream_;
  if (!signal_.isEmpty()) lines << signal_;
  if (!recording_.isEmpty()) lines << recording_;
  if (!note_.isEmpty()) lines << note_;
  setText(lines.join('\n'));
  setVisible(!lines.isEmpty());
}
