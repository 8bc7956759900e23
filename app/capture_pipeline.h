// The program's parts side by side, and wired: the capture thread hands its
// fields to the render thread (field_sink); the render thread converts them
// for the display, whose pictures the display feed takes on the GUI thread,
// and for the recorder, which takes them itself (recording_supply); the
// sound preview hands what it reads to the recorder directly. The window
// shows the display's pictures and asks the recording controller; it is on
// no other road. main() (or a test) owns this, and the window beside it.
#pragma once

#include "app/display_feed.h"
#include "app/recording_controller.h"
#include "audio/sound_preview.h"
#include "capture/capture_thread.h"
#include "render/render_thread.h"

struct capture_pipeline {
  capture_pipeline() {
    capture.set_field_sink(&render);
    recording.recorder().set_supply(&render);
    // Queued: the render thread emits it, the feed runs on the GUI thread.
    QObject::connect(&render, &render_thread::field_rendered, &display, &display_feed::field_rendered);
    // The recorder takes the sound only while a recording runs (until it has
    // the sound of its last frame).
    QObject::connect(&sound, &sound_preview::sound_captured, &recording.recorder(), &::recorder::add_audio,
                     Qt::DirectConnection);
  }
  // Destroyed in the reverse order: the capture thread (which ends the
  // render thread as it ends) before the render thread's object.
  render_thread render;
  capture_thread capture;
  recording_controller recording;
  sound_preview sound;
  display_feed display{render.display()};
};
