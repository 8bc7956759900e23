// The live picture's last hop: once per field the render thread converted,
// the newest display picture it published is taken (latest_picture) and
// handed to the video widget, at most once per 10 ms, not while the window
// is minimised, and not after the window closed. The render thread never
// waits for this. GUI thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <cstdint>

#include "base/stopwatch.h"
#include "render/latency_record.h"

class QWidget;
class latest_picture;

class display_feed : public QObject {
  Q_OBJECT

 public:
  explicit display_feed(latest_picture& pictures, QObject* parent = nullptr);

  // The window the pictures are shown in: none go out while it is
  // minimised. Null: shown whatever.
  void show_in(const QWidget* window) { window_ = window; }
  // In the modes that build one picture from two fields (F2, Interlaced,
  // Field-blended), one picture per two fields.
  void set_two_field_modes(bool on) { two_fields_ = on; }
  // The window is closing: fields are still counted, no picture goes out.
  void stop() { stopped_ = true; }

  int pictures_shown() const { return shown_; }
  // From a field's last packet to its picture handed to the display.
  const latency_record& latency() const { return latency_; }

 public slots:
  void field_rendered();

 signals:
  void picture_ready(QImage image);

 private:
  void note_latency(double ms);

  latest_picture& pictures_;
  const QWidget* window_ = nullptr;
  bool two_fields_ = false;
  bool stopped_ = false;
  int fields_ = 0;
  int shown_ = 0;
  double last_shown_ms_ = 0.0;
  stopwatch clock_;
  latency_record latency_;
  uint64_t latency_pictures_ = 0;
};
