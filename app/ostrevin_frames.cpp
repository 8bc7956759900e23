// The main window's frame slot: recording hook and the live picture.
#include <mutex>

#include "app/ostrevin.h"

void ostrevin::frame_ready(bool field_flag) {
  // The recording feed takes each field's flag from the buffer it weaves:
  // the one this signal carried belongs to a field that may be gone by now.
  (void)field_flag;
  ++frame_counter;
  if (closing) return;

  // Every field is recorded, whether or not it is shown.
  if (capturing) feed_recording();

  if (windowState() & Qt::WindowMinimized) return;

  // At most one image per 10 ms; exactly 10 ms apart is still shown.
  if (last_frame_time != 0.0 && frame_timer.elapsed() - last_frame_time < 10.0) return;

  int image_height = 2 * half_display_height;
  if (preferences.display_f2 || preferences.display_interlaced || preferences.display_field_blended) {
    // One image per two fields.
    if (frame_counter % 2 == 0) return;
    if (preferences.display_field_blended) image_height = half_display_height;
  }

  {
    // The render thread writes this buffer under the same lock, so the image
    // is the latest completed field; the direct connection to the display
    // has uploaded the pixels by the time the emit returns.
    const std::lock_guard<std::mutex> lock(capture_thread.render_thread.display_mutex());
    const QImage image(image_buffer_0, 2 * half_display_width, image_height, 8 * half_display_width,
                       QImage::Format_RGB32);
    emit frame_ready(image);
  }

  last_frame_time = frame_timer.elapsed();
  ++images_shown;
}
