// The main window's frame slot: recording hook and the live picture.
#include <QDebug>
#include <chrono>

#include "app/main_window.h"
#include "base/logging.h"

void main_window::field_rendered(bool field_flag) {
  // The recording takes each field's flag from the queue it drains: the one
  // this signal carried belongs to a field that may be gone by now.
  (void)field_flag;
  ++frame_counter;
  if (closing) return;
  if (record_at_next_field) {
    record_at_next_field = false;
    start_recording();
  }

  if (windowState() & Qt::WindowMinimized) return;

  // At most one image per 10 ms; exactly 10 ms apart is still shown.
  if (last_frame_time != 0.0 && frame_timer.elapsed() - last_frame_time < 10.0) return;

  // One image per two fields in the modes that build a picture from two.
  if ((preferences.display_f2 || preferences.display_interlaced || preferences.display_field_blended) &&
      frame_counter % 2 == 0)
    return;

  // The newest picture the render thread finished; without a newer one the
  // last is shown again. The render thread never waits for this: it draws
  // into a buffer of its own and hands it over by an atomic swap.
  latest_picture& pictures = render_.display();
  const bool fresh = pictures.take();
  if (!pictures.has_front()) return;
  const picture_info& info = pictures.front_info();
  // Shared, not copied: the direct connection to the display has uploaded
  // the pixels by the time the emit returns.
  const QImage image(pictures.front(), info.width, info.height, 4 * info.width, QImage::Format_RGB32);
  emit picture_ready(image);

  last_frame_time = frame_timer.elapsed();
  ++images_shown;
  if (fresh && info.arrival_ns >= 0) note_display_latency(double(steady_clock_ns() - info.arrival_ns) * 1e-6);
}

void main_window::note_display_latency(double ms) {
  display_latency.add(ms);
  // In the debug output every ten seconds or so of pictures.
  if (++latency_images % 500 == 0)
    qCDebug(app_log).noquote() << (QString("display latency: median %1 ms, 99th percentile %2 ms over %3 pictures")
                                       .arg(display_latency.percentile(0.5), 0, 'f', 1)
                                       .arg(display_latency.percentile(0.99), 0, 'f', 1)
                                       .arg(display_latency.count()));
}
