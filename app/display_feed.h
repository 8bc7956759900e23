// The live picture's last hop: once per field the render thread converted,
// the newest display picture it published since the last one shown is taken
// (latest_picture) and handed to the video widget: each picture once, at
// most one per 10 ms, none while the window is minimised or after it closed.
// The render thread publishes one picture per field in F1 and one per two
// fields in the modes that build a picture from two; it never waits for
// this. GUI thread only.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <cstdint>
#include <vector>

#include "base/stopwatch.h"
#include "render/latency_record.h"

class QWidget;
class latest_picture;
struct picture_info;

class display_feed : public QObject {
  Q_OBJECT

 public:
  explicit display_feed(latest_picture& pictures, QObject* parent = nullptr);

  // The window the pictures are shown in: none go out while it is
  // minimised. Null: shown whatever.
  void show_in(const QWidget* window) { window_ = window; }
  // The window is closing: no picture goes out from now on.
  void stop() { stopped_ = true; }

  int pictures_shown() const { return shown_; }
  // The picture on screen now, converted as the display converts it, at
  // `size` (its display size when empty); null before the first.
  QImage shown_picture(QSize size = QSize()) const;
  // The picture on screen now as it was handed over (a copy of its bytes,
  // and its description); false before the first.
  bool copy_shown(std::vector<unsigned char>& bytes, picture_info& info) const;
  // From a field's last packet to its picture handed to the display.
  const latency_record& latency() const { return latency_; }

 public slots:
  void field_rendered();

 signals:
  // The 4:2:2 picture to show (render/display_picture.h); the bytes are
  // only valid while the signal is delivered (a direct connection).
  void picture_ready(const unsigned char* pixels, const picture_info& info);

 private:
  void note_latency(double ms);

  latest_picture& pictures_;
  const QWidget* window_ = nullptr;
  bool stopped_ = false;
  int shown_ = 0;
  double last_shown_ms_ = 0.0;
  stopwatch clock_;
  latency_record latency_;
  uint64_t latency_pictures_ = 0;
};
