// The window's menu bar: its menus, their actions and the groups that make
// choices exclusive, built from the preferences in force. It only asks: each
// choice goes out as a signal, and the window decides what it does. Owned
// by the window (Qt's parent-child rule); GUI thread only.
#pragma once

#include <QObject>
#include <array>

#include "app/preference_set.h"
#include "capture/capture_settings.h"
#include "render/display_mode.h"

class QAction;
class QActionGroup;
class QMainWindow;
class QMenu;

class main_menus : public QObject {
  Q_OBJECT

 public:
  // Builds the menu bar of `window` with `p`'s choices checked.
  main_menus(QMainWindow* window, const preference_set& p, bool muted);

  // While a recording runs the file, the standard, the input, the aspect
  // and the sound's source cannot change; "&Capture" needs a capture file.
  // A stick without sound of its own keeps "&Easycap" off for good.
  void set_recording(bool running, bool can_record);
  // The stick has no sound of its own: line-in, and "&Easycap" off.
  void stick_has_no_sound();
  void set_muted(bool muted);
  // The standard's menu item, as if chosen there (nothing while recording).
  void choose_standard(video_standard standard);
  // "Full screen" in the Window menu (checkable; F11).
  QAction* full_screen_item() const { return full_screen_; }

 signals:
  void capture_file_asked();
  void record_asked();
  void stop_asked();
  void stop_after_asked();
  void save_picture_asked();
  void standard_chosen(video_standard standard);
  void s_video_chosen(bool s_video);
  void channel_chosen(int channel);
  void widescreen_chosen(bool widescreen);
  void stick_sound_chosen(bool from_stick);
  void mute_toggled();
  void display_mode_chosen(display_mode mode);
  void picture_asked();
  void always_on_top_chosen(bool on_top);
  // 0.5 .. 3.0: the window's size against the picture's; not stored.
  void scale_chosen(double factor);
  void about_asked();

 private:
  QAction* set_file_ = nullptr;
  QAction* record_ = nullptr;
  QAction* stop_ = nullptr;
  QAction* easycap_audio_ = nullptr;
  QAction* line_in_ = nullptr;
  QAction* mute_ = nullptr;
  QAction* full_screen_ = nullptr;
  // NTSC, PAL, PAL-60.
  std::array<QAction*, 3> standards_{};
  // What cannot change while recording.
  std::array<QAction*, 8> settings_{};
  bool stick_sound_missing_ = false;
};
