// The window's menus, their actions and the groups that make choices
// exclusive. create_menus() (main_window_menus.cpp) builds them; the window
// owns them through Qt's parent-child rule, and this keeps the pointers
// together, apart from the window's state.
#pragma once

#include <array>

class QAction;
class QActionGroup;
class QMenu;
class QMenuBar;

struct window_menus {
  QMenuBar* menu_bar = nullptr;
  QMenu* file_menu = nullptr;
  QMenu* standard_menu = nullptr;
  QMenu* input_menu = nullptr;
  QMenu* aspect_menu = nullptr;
  QMenu* audio_menu = nullptr;
  QMenu* display_menu = nullptr;
  QMenu* window_menu = nullptr;
  QMenu* help_menu = nullptr;
  QAction* set_capture_file_action = nullptr;
  QAction* capture_action = nullptr;
  QAction* stop_capture_action = nullptr;
  QAction* stop_after_action = nullptr;
  QAction* ntsc_action = nullptr;
  QAction* pal_action = nullptr;
  QAction* pal_60_action = nullptr;
  QAction* s_video_action = nullptr;
  QAction* composite_action = nullptr;
  QAction* aspect_4_3_action = nullptr;
  QAction* aspect_16_9_action = nullptr;
  QAction* easycap_audio_action = nullptr;
  QAction* line_in_action = nullptr;
  QAction* mute_action = nullptr;
  QAction* f1_action = nullptr;
  QAction* f2_action = nullptr;
  QAction* interlaced_action = nullptr;
  QAction* field_blended_action = nullptr;
  QAction* always_on_top_action = nullptr;
  std::array<QAction*, 6> scale_actions{};  // 50% .. 300%
  QAction* about_action = nullptr;
  QAction* about_qt_action = nullptr;
  QActionGroup* standard_group = nullptr;
  QActionGroup* input_group = nullptr;
  QActionGroup* aspect_group = nullptr;
  QActionGroup* audio_group = nullptr;
  QActionGroup* display_group = nullptr;
  QActionGroup* window_group = nullptr;
};
