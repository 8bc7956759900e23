// The main window's menus and the preferences file.
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStandardPaths>

#include "app/main_window.h"
#include "base/logging.h"

namespace {
// A FIFO, socket or device in the file's place: opening it could wait for
// ever, and it holds no preferences.
bool is_special_file(const QString& path) {
  const QFileInfo info(path);
  return info.exists() && !info.isFile() && !info.isDir();
}
}  // namespace

void main_window::load_preferences() {
  // Named after the program, not the executable: a renamed or wrapped binary
  // (or a test) finds the same file.
  preferences_path =
      QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/ostrevin/ostrevin_preferences";
  if (is_special_file(preferences_path)) {
    qCWarning(app_log).noquote() << "Ostrevin:" << preferences_path << "is not a regular file; the defaults stay";
    return;
  }
  QFile file(preferences_path);
  if (!file.open(QIODevice::ReadOnly)) return;  // first run: the defaults stay
  QDataStream in(&file);
  in.setVersion(QDataStream::Qt_4_6);
  in >> preferences;
  // PAL-60 only exists as a 60 Hz standard; the flag alone would program a
  // 50 Hz colour mode that no menu item shows or undoes.
  if (!preferences.sixty_hz) preferences.pal_60 = false;
  // One display mode: the first of F2, Interlaced, Field-blended that is set,
  // in menu order.
  if (preferences.display_f2) preferences.display_interlaced = false;
  if (preferences.display_f2 || preferences.display_interlaced) preferences.display_field_blended = false;
}

void main_window::save_preferences() {
  auto report = [this](const QString& why) {
    QMessageBox::critical(this, tr("Save Preferences Error"),
                          tr("There was an error saving the preferences file: %1").arg(why), QMessageBox::Ok,
                          QMessageBox::NoButton);
  };
  if (is_special_file(preferences_path)) {
    report(tr("%1 is not a regular file").arg(preferences_path));
    return;
  }
  // The data location does not exist yet on a fresh account.
  QDir().mkpath(QFileInfo(preferences_path).absolutePath());
  QFile file(preferences_path);
  if (!file.open(QIODevice::WriteOnly)) {
    report(file.errorString());
    return;
  }
  QDataStream out(&file);
  out.setVersion(QDataStream::Qt_4_6);
  out << preferences_to_store();
}

namespace {
QAction* add_grouped(QMenu* menu, QActionGroup* group, const QString& text, bool checked, QObject* owner) {
  auto* action = new QAction(text, owner);
  action->setCheckable(true);
  group->addAction(action);
  action->setChecked(checked);
  menu->addAction(action);
  return action;
}
}  // namespace

void main_window::create_menus() {
  const preference_set& p = preferences;
  menus.menu_bar = new QMenuBar(this);

  menus.file_menu = menus.menu_bar->addMenu(tr("&File"));
  menus.set_capture_file_action = menus.file_menu->addAction(tr("Set capture &file ..."));
  menus.file_menu->addSeparator();
  menus.capture_action = menus.file_menu->addAction(tr("&Capture"));
  menus.capture_action->setEnabled(false);
  menus.stop_capture_action = menus.file_menu->addAction(tr("&Stop capture"));
  menus.stop_capture_action->setEnabled(false);
  menus.file_menu->addSeparator();
  menus.stop_after_action = menus.file_menu->addAction(tr("Stop &after..."));
  connect(menus.stop_after_action, &QAction::triggered, this, &main_window::ask_stop_after);
  connect(menus.set_capture_file_action, &QAction::triggered, this, &main_window::set_capture_file);
  connect(menus.capture_action, &QAction::triggered, this, &main_window::start_recording);
  connect(menus.stop_capture_action, &QAction::triggered, this, &main_window::stop_recording);

  menus.standard_menu = menus.menu_bar->addMenu(tr("&NTSC/PAL"));
  menus.standard_group = new QActionGroup(this);
  menus.ntsc_action =
      add_grouped(menus.standard_menu, menus.standard_group, tr("&NTSC"), p.sixty_hz && !p.pal_60, this);
  menus.pal_action = add_grouped(menus.standard_menu, menus.standard_group, tr("&PAL"), !p.sixty_hz, this);
  menus.pal_60_action =
      add_grouped(menus.standard_menu, menus.standard_group, tr("PAL-&60"), p.sixty_hz && p.pal_60, this);
  connect(menus.standard_group, &QActionGroup::triggered, this, &main_window::action_selected);

  menus.input_menu = menus.menu_bar->addMenu(tr("&Input"));
  menus.input_group = new QActionGroup(this);
  menus.s_video_action = add_grouped(menus.input_menu, menus.input_group, tr("&S-Video"), p.s_video, this);
  menus.composite_action = add_grouped(menus.input_menu, menus.input_group, tr("&Composite"), !p.s_video, this);
  connect(menus.input_group, &QActionGroup::triggered, this, &main_window::action_selected);

  // Nothing refers to the channel menu after this: the window owns it.
  auto* channel_menu = new QMenu(tr("&Channel"), this);
  menus.menu_bar->addMenu(channel_menu);
  auto* channel_group = new QActionGroup(this);
  for (int channel = 0; channel < 4; ++channel) {
    QAction* action = add_grouped(channel_menu, channel_group, tr("%1").arg(channel), false, this);
    action->setShortcut(QKeySequence(tr("Ctrl+%1").arg(channel)));
  }
  connect(channel_group, &QActionGroup::triggered, this, &main_window::channel_action_group_slot);

  menus.aspect_menu = menus.menu_bar->addMenu(tr("Aspect &ratio"));
  menus.aspect_group = new QActionGroup(this);
  menus.aspect_4_3_action = add_grouped(menus.aspect_menu, menus.aspect_group, tr("&4:3"), !p.widescreen, this);
  menus.aspect_16_9_action = add_grouped(menus.aspect_menu, menus.aspect_group, tr("&16:9"), p.widescreen, this);
  connect(menus.aspect_group, &QActionGroup::triggered, this, &main_window::action_selected);

  menus.audio_menu = menus.menu_bar->addMenu(tr("&Audio"));
  menus.audio_group = new QActionGroup(this);
  menus.easycap_audio_action = add_grouped(menus.audio_menu, menus.audio_group, tr("&Easycap"), p.easycap_audio, this);
  menus.line_in_action = add_grouped(menus.audio_menu, menus.audio_group, tr("&Line-in"), !p.easycap_audio, this);
  connect(menus.audio_group, &QActionGroup::triggered, this, &main_window::action_selected);
  menus.audio_menu->addSeparator();
  menus.mute_action = menus.audio_menu->addAction(tr("&Mute audio preview"));
  menus.mute_action->setCheckable(true);
  menus.mute_action->setChecked(sound_.is_muted());
  connect(menus.mute_action, &QAction::triggered, &sound_, &sound_preview::toggle_mute);

  // Checked in this order so that the stored mode ends up checked: F1 when
  // none of the three flags is set.
  menus.display_menu = menus.menu_bar->addMenu(tr("&Display"));
  menus.display_group = new QActionGroup(this);
  menus.f1_action = add_grouped(menus.display_menu, menus.display_group, tr("F&1"), !p.display_f2, this);
  menus.f2_action = add_grouped(menus.display_menu, menus.display_group, tr("F&2"), p.display_f2, this);
  menus.interlaced_action =
      add_grouped(menus.display_menu, menus.display_group, tr("&Interlaced"), p.display_interlaced, this);
  menus.field_blended_action =
      add_grouped(menus.display_menu, menus.display_group, tr("&Field-blended"), p.display_field_blended, this);
  connect(menus.display_group, &QActionGroup::triggered, this, &main_window::action_selected);

  menus.window_menu = menus.menu_bar->addMenu(tr("&Window"));
  menus.always_on_top_action = menus.window_menu->addAction(tr("&Always on top"));
  menus.always_on_top_action->setCheckable(true);
  menus.always_on_top_action->setChecked(p.always_on_top);
  connect(menus.always_on_top_action, &QAction::triggered, this, &main_window::switch_always_on_top);
  menus.window_menu->addSeparator();
  menus.window_group = new QActionGroup(this);
  static const char* const scale_texts[] = {QT_TR_NOOP("50%"),  QT_TR_NOOP("100%"), QT_TR_NOOP("150%"),
                                            QT_TR_NOOP("200%"), QT_TR_NOOP("250%"), QT_TR_NOOP("300%")};
  for (size_t i = 0; i < menus.scale_actions.size(); ++i)
    menus.scale_actions[i] = add_grouped(menus.window_menu, menus.window_group, tr(scale_texts[i]), i == 1, this);
  connect(menus.window_group, &QActionGroup::triggered, this, &main_window::window_action_selected);

  menus.help_menu = menus.menu_bar->addMenu(tr("&Help"));
  menus.about_action = menus.help_menu->addAction(tr("&About Ostrevin"));
  connect(menus.about_action, &QAction::triggered, this, &main_window::about);
  menus.about_qt_action = menus.help_menu->addAction(tr("About &Qt"));
  connect(menus.about_qt_action, &QAction::triggered, qApp, &QApplication::aboutQt);

  setMenuBar(menus.menu_bar);
}

void main_window::action_selected(QAction* action) {
  // Only a change acts: the item already in force sends nothing and writes nothing.
  const preference_set& p = preferences;
  const bool ntsc = p.sixty_hz && !p.pal_60;
  const bool pal_60 = p.sixty_hz && p.pal_60;
  if ((action == menus.ntsc_action && !ntsc) || (action == menus.pal_action && p.sixty_hz) ||
      (action == menus.pal_60_action && !pal_60))
    select_standard(action);
  if ((action == menus.s_video_action && !p.s_video) || (action == menus.composite_action && p.s_video)) switch_input();
  if ((action == menus.aspect_4_3_action && p.widescreen) || (action == menus.aspect_16_9_action && !p.widescreen))
    switch_aspect_ratio();
  if ((action == menus.easycap_audio_action && !p.easycap_audio) || (action == menus.line_in_action && p.easycap_audio))
    switch_audio_source();
  if ((action == menus.f1_action && (p.display_f2 || p.display_interlaced || p.display_field_blended)) ||
      (action == menus.f2_action && !p.display_f2) || (action == menus.interlaced_action && !p.display_interlaced) ||
      (action == menus.field_blended_action && !p.display_field_blended))
    switch_f2_display(action);
}

void main_window::select_standard(QAction* action) {
  launch.standard.reset();  // chosen now: stored from here on
  if (action == menus.ntsc_action) {
    preferences.sixty_hz = true;
    preferences.pal_60 = false;
  } else if (action == menus.pal_action) {
    preferences.sixty_hz = false;
    preferences.pal_60 = false;
  } else if (action == menus.pal_60_action) {
    preferences.sixty_hz = true;
    preferences.pal_60 = true;
  }
  apply_preferences();
  emit set_standard();
  save_preferences();
}

void main_window::switch_input() {
  launch.s_video.reset();
  preferences.s_video = !preferences.s_video;
  apply_preferences();
  emit change_channel(preferences.s_video ? 0 : 2);  // S-Video on channel 0, Composite on 2
  save_preferences();
}

void main_window::switch_aspect_ratio() {
  preferences.widescreen = !preferences.widescreen;
  apply_preferences();
  emit set_standard();
  save_preferences();
}

void main_window::switch_f2_display(QAction* action) {
  preferences.display_f2 = action == menus.f2_action;
  preferences.display_interlaced = action == menus.interlaced_action;
  preferences.display_field_blended = action == menus.field_blended_action;
  apply_preferences();
  save_preferences();
}

void main_window::switch_always_on_top() {
  preferences.always_on_top = !preferences.always_on_top;
  apply_always_on_top();  // the size stays as it is
  save_preferences();
}

void main_window::channel_action_group_slot(QAction* action) { emit change_channel(action->text().toInt(nullptr, 10)); }

void main_window::window_action_selected(QAction* action) {
  static constexpr double factors[] = {0.5, 1.0, 1.5, 2.0, 2.5, 3.0};
  double factor = 1.0;
  for (size_t i = 0; i < menus.scale_actions.size(); ++i)
    if (action == menus.scale_actions[i]) factor = factors[i];
  // Not stored: the next apply_preferences() returns the window to 100 %.
  resize_video_area(int(factor * current_capture.half_display_width() * 2),
                    int(factor * current_capture.half_display_height() * 2));
}

void main_window::about() {
  QMessageBox::about(this, tr("About Ostrevin"),
                     tr("<p><i>\"This is such a wonderful experience here with the Buddhist.\"</i></p>"
                        "<p>&nbsp;</p>"
                        "<p><b><u>Legal information</u></b></p>"
                        "<p>This software uses libraries from the <a href=\"https://ffmpeg.org\">FFmpeg project</a> "
                        "under the <a href=\"https://www.gnu.org/licenses/lgpl-3.0.html\">LGPLv3.0</a>.</p>"));
}
