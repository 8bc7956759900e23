// The program's threads side by side, and wired: the capture thread hands
// its fields to the render thread (field_sink), the render thread converts
// them for the display and for the recorder, which takes them itself
// (recording_supply). The window shows the display's pictures and asks the
// recording controller; it is on no other road.
#pragma once

#include "app/recording_controller.h"
#include "capture/capture_thread.h"
#include "render/render_thread.h"

struct capture_pipeline {
  capture_pipeline() {
    capture.set_field_sink(&render);
    recording.recorder().set_supply(&render);
  }
  // Destroyed in the reverse order: the capture thread (which ends the
  // render thread as it ends) before the render thread's object.
  render_thread render;
  capture_thread capture;
  recording_controller recording;
};
