// The window's stored settings: the nine-byte preferences file (its path,
// reading it tolerantly, writing it), the picture controls of each input and
// the display mode in the second file beside it (settings_file.h), the command line's overrides
// for this run, and the menus' and the Picture dialog's choices. A choice from the menus ends the command
// line's override of the same setting; until then the file keeps what it
// held for it.
#pragma once

#include <QString>

#include "app/command_line.h"
#include "app/preference_set.h"
#include "app/settings_file.h"
#include "capture/capture_settings.h"
#include "render/display_mode.h"

class window_preferences {
 public:
  explicit window_preferences(const launch_options& launch = {});

  // Reads both files (missing or not a regular file: the defaults stay, and
  // the latter is told), makes what they hold consistent, then applies the
  // command line's overrides.
  void load();
  // Writes the nine-byte file; empty when it went, else why not.
  QString save() const;
  // Writes the second file, the same way.
  QString save_picture() const { return second_.save(); }

  const preference_set& current() const { return current_; }
  const QString& path() const { return path_; }
  video_standard standard() const;
  display_mode mode() const;
  // What the capture thread is asked for with these, from `base`.
  capture_settings capture(capture_settings base) const;
  // The picture controls of the input in force.
  picture_controls picture() const;

  // The menus' choices: false when the setting already was so (nothing to
  // do, nothing to store).
  bool choose_standard(video_standard standard);
  bool choose_s_video(bool s_video);
  bool choose_widescreen(bool widescreen);
  bool choose_stick_sound(bool from_stick);
  bool choose_display_mode(display_mode mode);
  bool choose_always_on_top(bool on_top);
  // For the input in force; a control the user moves is theirs again (the
  // command line's override of it ends) and is stored.
  bool choose_picture(const picture_controls& controls);
  // The stick has no sound of its own: line-in from now on, not stored.
  void stick_has_no_sound() { current_.easycap_audio = false; }

 private:
  preference_set current_;
  // What the file held (or the defaults), for the settings the command
  // line overrides.
  preference_set stored_;
  launch_options launch_;
  QString path_;
  settings_file second_{path_};
};
