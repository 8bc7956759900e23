#include "app/main_menus.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <functional>

namespace {
// A checkable item of an exclusive group; `chosen` runs when it is picked.
QAction* add_grouped(QMenu* menu, QActionGroup* group, const QString& text, bool checked,
                     std::function<void()> chosen) {
  auto* action = new QAction(text, group);
  action->setCheckable(true);
  group->addAction(action);
  action->setChecked(checked);
  menu->addAction(action);
  QObject::connect(action, &QAction::triggered, group, std::move(chosen));
  return action;
}
}  // namespace

main_menus::main_menus(QMainWindow* window, const preference_set& p, bool muted) : QObject(window) {
  auto* bar = new QMenuBar(window);

  QMenu* file = bar->addMenu(tr("&File"));
  set_file_ = file->addAction(tr("Set capture &file ..."));
  file->addSeparator();
  record_ = file->addAction(tr("&Capture"));
  record_->setEnabled(false);
  stop_ = file->addAction(tr("&Stop capture"));
  stop_->setEnabled(false);
  file->addSeparator();
  QAction* stop_after = file->addAction(tr("Stop &after..."));
  connect(stop_after, &QAction::triggered, this, &main_menus::stop_after_asked);
  file->addSeparator();
  QAction* save_picture = file->addAction(tr("Save &picture"));
  save_picture->setShortcut(QKeySequence(tr("Ctrl+S")));
  connect(save_picture, &QAction::triggered, this, &main_menus::save_picture_asked);
  connect(set_file_, &QAction::triggered, this, &main_menus::capture_file_asked);
  connect(record_, &QAction::triggered, this, &main_menus::record_asked);
  connect(stop_, &QAction::triggered, this, &main_menus::stop_asked);

  QMenu* standard = bar->addMenu(tr("&NTSC/PAL"));
  auto* standards = new QActionGroup(this);
  auto on_standard = [this](video_standard s) { return [this, s] { emit standard_chosen(s); }; };
  QAction* ntsc =
      add_grouped(standard, standards, tr("&NTSC"), p.sixty_hz && !p.pal_60, on_standard(video_standard::ntsc));
  QAction* pal = add_grouped(standard, standards, tr("&PAL"), !p.sixty_hz, on_standard(video_standard::pal));
  QAction* pal_60 =
      add_grouped(standard, standards, tr("PAL-&60"), p.sixty_hz && p.pal_60, on_standard(video_standard::pal_60));

  QMenu* input = bar->addMenu(tr("&Input"));
  auto* inputs = new QActionGroup(this);
  QAction* s_video = add_grouped(input, inputs, tr("&S-Video"), p.s_video, [this] { emit s_video_chosen(true); });
  QAction* composite = add_grouped(input, inputs, tr("&Composite"), !p.s_video, [this] { emit s_video_chosen(false); });

  QMenu* channel_menu = bar->addMenu(tr("&Channel"));
  auto* channels = new QActionGroup(this);
  for (int channel = 0; channel < 4; ++channel) {
    QAction* action = add_grouped(channel_menu, channels, tr("%1").arg(channel), false,
                                  [this, channel] { emit channel_chosen(channel); });
    action->setShortcut(QKeySequence(tr("Ctrl+%1").arg(channel)));
  }

  QMenu* aspect = bar->addMenu(tr("Aspect &ratio"));
  auto* aspects = new QActionGroup(this);
  QAction* four_three =
      add_grouped(aspect, aspects, tr("&4:3"), !p.widescreen, [this] { emit widescreen_chosen(false); });
  QAction* sixteen_nine =
      add_grouped(aspect, aspects, tr("&16:9"), p.widescreen, [this] { emit widescreen_chosen(true); });

  QMenu* audio = bar->addMenu(tr("&Audio"));
  auto* sources = new QActionGroup(this);
  easycap_audio_ =
      add_grouped(audio, sources, tr("&Easycap"), p.easycap_audio, [this] { emit stick_sound_chosen(true); });
  line_in_ = add_grouped(audio, sources, tr("&Line-in"), !p.easycap_audio, [this] { emit stick_sound_chosen(false); });
  audio->addSeparator();
  mute_ = audio->addAction(tr("&Mute audio preview"));
  mute_->setCheckable(true);
  mute_->setChecked(muted);
  connect(mute_, &QAction::triggered, this, &main_menus::mute_toggled);

  // F1 is checked when none of the four flags is set.
  QMenu* display = bar->addMenu(tr("&Display"));
  auto* modes = new QActionGroup(this);
  auto choose_mode = [this](display_mode m) { return [this, m] { emit display_mode_chosen(m); }; };
  add_grouped(display, modes, tr("F&1"),
              !p.display_f2 && !p.display_interlaced && !p.display_field_blended && !p.display_deinterlaced,
              choose_mode(display_mode::f1));
  add_grouped(display, modes, tr("F&2"), p.display_f2, choose_mode(display_mode::f2));
  add_grouped(display, modes, tr("&Interlaced"), p.display_interlaced, choose_mode(display_mode::interlaced));
  add_grouped(display, modes, tr("&Field-blended"), p.display_field_blended, choose_mode(display_mode::field_blended));
  add_grouped(display, modes, tr("&Deinterlaced"), p.display_deinterlaced, choose_mode(display_mode::deinterlaced));
  display->addSeparator();
  connect(display->addAction(tr("&Picture...")), &QAction::triggered, this, &main_menus::picture_asked);

  QMenu* window_menu = bar->addMenu(tr("&Window"));
  QAction* on_top = window_menu->addAction(tr("&Always on top"));
  on_top->setCheckable(true);
  on_top->setChecked(p.always_on_top);
  connect(on_top, &QAction::triggered, this, &main_menus::always_on_top_chosen);
  full_screen_ = window_menu->addAction(tr("&Full screen"));
  full_screen_->setCheckable(true);
  full_screen_->setShortcut(QKeySequence(Qt::Key_F11));
  window_menu->addSeparator();
  auto* scales = new QActionGroup(this);
  static const char* const scale_texts[] = {QT_TR_NOOP("50%"),  QT_TR_NOOP("100%"), QT_TR_NOOP("150%"),
                                            QT_TR_NOOP("200%"), QT_TR_NOOP("250%"), QT_TR_NOOP("300%")};
  for (int i = 0; i < 6; ++i)
    add_grouped(window_menu, scales, tr(scale_texts[i]), i == 1, [this, i] { emit scale_chosen(0.5 * (i + 1)); });

  QMenu* help = bar->addMenu(tr("&Help"));
  connect(help->addAction(tr("&About Ostrevin")), &QAction::triggered, this, &main_menus::about_asked);
  connect(help->addAction(tr("About &Qt")), &QAction::triggered, qApp, &QApplication::aboutQt);

  standards_ = {ntsc, pal, pal_60};
  settings_ = {ntsc, pal, pal_60, composite, s_video, four_three, sixteen_nine, line_in_};
  window->setMenuBar(bar);
}

void main_menus::set_recording(bool running, bool can_record) {
  set_file_->setEnabled(!running);
  record_->setEnabled(!running && can_record);
  stop_->setEnabled(running);
  for (QAction* action : settings_) action->setEnabled(!running);
  if (!stick_sound_missing_) easycap_audio_->setEnabled(!running);
}

void main_menus::stick_has_no_sound() {
  stick_sound_missing_ = true;
  easycap_audio_->setChecked(false);
  easycap_audio_->setEnabled(false);
  line_in_->setChecked(true);
}

void main_menus::set_muted(bool muted) { mute_->setChecked(muted); }

void main_menus::choose_standard(video_standard standard) {
  QAction* item = standards_[standard == video_standard::ntsc ? 0 : standard == video_standard::pal ? 1 : 2];
  if (item->isEnabled()) item->trigger();
}
