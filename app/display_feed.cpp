#include "app/display_feed.h"

#include <QDebug>
#include <QWidget>

#include "base/logging.h"
#include "render/latest_picture.h"

display_feed::display_feed(latest_picture& pictures, QObject* parent) : QObject(parent), pictures_(pictures) {
  clock_.start();
}

void display_feed::field_rendered() {
  if (stopped_) return;
  if (window_ && (window_->windowState() & Qt::WindowMinimized)) return;
  // At most one picture per 10 ms; exactly 10 ms apart is still shown.
  if (last_shown_ms_ != 0.0 && clock_.elapsed() - last_shown_ms_ < 10.0) return;
  // The newest picture the render thread finished; none newer than the one
  // shown: nothing to do (the field made none, or a queued signal before
  // this one took it). The render thread draws into a buffer of its own and
  // hands it over by an atomic swap.
  if (!pictures_.take()) return;
  const picture_info& info = pictures_.front_info();
  // Shared, not copied: the direct connection to the display has uploaded
  // the pixels by the time the emit returns.
  emit picture_ready(pictures_.front(), info);

  last_shown_ms_ = clock_.elapsed();
  ++shown_;
  if (info.arrival_ns >= 0) note_latency(double(steady_clock_ns() - info.arrival_ns) * 1e-6);
}

QImage display_feed::shown_picture(QSize size) const {
  if (shown_ == 0 || !pictures_.has_front()) return QImage();
  const picture_info& info = pictures_.front_info();
  if (size.isEmpty()) size = QSize(info.display_width, info.display_height);
  return picture_image(pictures_.front(), info, size);
}

bool display_feed::copy_shown(std::vector<unsigned char>& bytes, picture_info& info) const {
  if (shown_ == 0 || !pictures_.has_front()) return false;
  info = pictures_.front_info();
  bytes.assign(pictures_.front(), pictures_.front() + info.bytes());
  return true;
}

void display_feed::note_latency(double ms) {
  latency_.add(ms);
  // In the debug output every ten seconds or so of pictures.
  if (++latency_pictures_ % 500 == 0)
    qCDebug(app_log).noquote() << (QString("display latency: median %1 ms, 99th percentile %2 ms over %3 pictures")
                                       .arg(latency_.percentile(0.5), 0, 'f', 1)
                                       .arg(latency_.percentile(0.99), 0, 'f', 1)
                                       .arg(latency_.count()));
}
