// The line over the bottom of the picture: what the stick's stream does when
// it is not flowing, and how the last recording ended if it did not end by
// Stop (or what the repair of unfinished recordings found). No modal box:
// nothing waits for an answer, and a recording left overnight must not stop
// at one. Hidden while it has nothing to say.
#pragma once

#include <QLabel>
#include <QString>
#include <vector>

#include "capture/capture_thread.h"

class QHBoxLayout;

class notice_line : public QLabel {
  Q_OBJECT

 public:
  // Lies over the bottom of `picture`.
  explicit notice_line(QWidget* picture);

  // What the notice says of a stream in `state` (empty while it flows).
  static QString stream_text(capture_thread::stream_state state, unsigned count);

  void set_stream(const QString& text);
  // What the decoder says of the signal, and the standards the tape may be
  // with a button each ("Switch to NTSC"), enabled while `can_switch`.
  void set_signal(const QString& text, const std::vector<video_standard>& offers, bool can_switch);
  void set_recording(const QString& text);
  // Said for a minute, unless a recording's notice takes its place.
  void set_recording_for_a_minute(const QString& text);
  // A passing word (where a picture was saved): said for ten seconds, under
  // the rest.
  void set_note(const QString& text);
  // What it says; empty while it is hidden.
  QString shown() const { return isVisible() ? text() : QString(); }

 signals:
  // A switch button was pressed.
  void standard_offered(video_standard standard);

 private:
  void update_text();

  QString stream_;
  QString signal_;
  QString recording_;
  QString note_;
  // The switch buttons' row, under the text.
  QWidget* offers_ = nullptr;
  QHBoxLayout* offer_layout_ = nullptr;
};
