// A capture thread with its render thread, paired as the program pairs them
// (app/capture_pipeline.h), for the tests that look at what is converted.
#pragma once

#include "capture/capture_thread.h"
#include "render/render_thread.h"

struct rendering_capture : capture_thread {
  rendering_capture() { set_field_sink(&renderer); }
  // The capture thread ends (and ends the render thread) before the render
  // thread's object goes.
  ~rendering_capture() override {
    if (isRunning()) request_close();
    wait();
  }
  render_thread renderer;
};
