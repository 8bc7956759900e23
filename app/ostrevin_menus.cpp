// The main window's menus and the preferences file.
#include "app/ostrevin.h"

void ostrevin::load_preferences() {}
void ostrevin::save_preferences() {}
void ostrevin::create_menus() {}
void ostrevin::action_selected(QAction*) {}
void ostrevin::window_action_selected(QAction*) {}
void ostrevin::about() {}
void ostrevin::switch_always_on_top() {}
void ostrevin::switch_f2_display(QAction*) {}
void ostrevin::channel_action_group_slot(QAction*) {}
void ostrevin::select_standard(QAction*) {}
void ostrevin::switch_input() {}
void ostrevin::switch_aspect_ratio() {}
void ostrevin::switch_audio_source() {}
