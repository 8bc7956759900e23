// The settings the nine-byte preferences file has no room for, in an INI
// file beside it ("ostrevin.ini"), through QSettings: the decoder's picture
// controls for each input, and the display mode (display/mode: f1, f2,
// interlaced, field_blended or deinterlaced; the nine bytes have no room for
// the last). The nine-byte file keeps its format and meaning
// for earlier versions and other tools; this one only adds.
//
// Read as tolerantly as the nine bytes: a file that is not there is a first
// run (the defaults, nothing said); one that is empty, damaged, unreadable,
// a directory or not a regular file gives the defaults and one message, and
// never a hang (a FIFO is not opened). A value out of its range is brought
// into it; one that is not a number is the default.
#pragma once

#include <QString>

#include "capture/capture_settings.h"
#include "render/display_mode.h"

class settings_file {
 public:
  // "ostrevin.ini" in the folder of `preferences_path` (the nine-byte file).
  explicit settings_file(const QString& preferences_path);

  // Reads the file; what went wrong, if anything, is in problem() and told
  // in the log once.
  void load();
  // Writes it; empty when it went, else why not.
  QString save() const;

  const QString& path() const { return path_; }
  // Why the file's settings were not used (empty: they were, or there were none).
  const QString& problem() const { return problem_; }

  picture_controls picture(bool s_video) const { return s_video ? s_video_ : composite_; }
  void set_picture(bool s_video, const picture_controls& controls);
  // The display mode stored (F1 when none is, or a name not known).
  display_mode mode() const { return mode_; }
  void set_mode(display_mode mode) { mode_ = mode; }

 private:
  QString path_;
  QString problem_;
  picture_controls composite_;
  picture_controls s_video_;
  display_mode mode_ = display_mode::f1;
};
