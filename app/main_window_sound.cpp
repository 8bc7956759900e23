// The main window's side of the sound: the first stream's preferences, the
// source the menu and the preferences choose, the menu items that follow
// the preview, and the captured sound handed to a running recording. The
// input and the preview themselves are the sound_preview's.
#include <QAction>
#include <QMessageBox>

#include "app/main_window.h"

void main_window::audio_start() {
  // The first stream: the stick runs, so the stored format, window size and
  // stay-on-top hint take effect, and the stick is programmed for them.
  if (first_stream_pending) {
    first_stream_pending = false;
    apply_preferences();
    emit set_standard();  // a new streaming run follows, programmed for them
  } else if (record_on_stream) {
    // --record: the stick streams as the preferences ask; the recording
    // starts with its first field (the render thread runs by then).
    record_on_stream = false;
    record_at_next_field = true;
  }
  // The capture thread has opened the stick by now (or is about to: then its
  // identity is the one every stick reports).
  sound_.start(capture_.identity(), preferences.easycap_audio);
}

void main_window::stick_sound_gone() { sound_.stick_gone(); }

void main_window::fall_back_to_line_in() {
  preferences.easycap_audio = false;
  menus.easycap_audio_action->setChecked(false);
  menus.easycap_audio_action->setEnabled(false);
  menus.line_in_action->setChecked(true);
}

void main_window::audio_format_not_supported() {
  QMessageBox::critical(this, tr("Ostrevin"), tr("audio format not supported"), QMessageBox::Ok, QMessageBox::NoButton);
}

void main_window::audio_mute_changed(bool muted) { menus.mute_action->setChecked(muted); }

void main_window::switch_audio_source() {
  preferences.easycap_audio = !preferences.easycap_audio;
  sound_.stop_input();
  audio_start();
  save_preferences();
}
