// What the tests and benchmarks see inside the render thread.
#pragma once

#include "render/render_thread.h"

struct render_probe {
  // The last field of each flag (Interlaced and Field-blended), UYVY as it
  // came, which the next picture of the two fields is made from. Read it
  // only while no field is being converted.
  static const unsigned char* field_picture(const render_thread& r, bool flag) {
    return r.field_picture_[flag ? 1 : 0].data();
  }
  static render_settings settings(render_thread& r) { return r.current_settings(); }
  // Whether fields are converted for the recording (set_recording();
  // cleared as the thread starts).
  static bool recording(const render_thread& r) { return r.recording_on_.load(); }
  // Takes back request_close(), so that the next field starts the thread
  // again.
  static void withdraw_close(render_thread& r) { r.quit_ = false; }
  // Each conversion takes at least `ms` from now on (a slow machine).
  static void slow_down(render_thread& r, int ms) { r.slow_render_ms_ = ms; }
  // Converts `field` on the calling thread, as the thread does, so a
  // benchmark can time the conversion without the hand-off. Only while the
  // thread is not running.
  static bool render_one_field(render_thread& r, bool flag, const unsigned char* field) {
    return r.render_one_field(flag, field);
  }
};
