#include "app/window_preferences.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStandardPaths>

#include "base/logging.h"

namespace {
// A FIFO, socket or device in the file's place: opening it could wait for
// ever, and it holds no preferences.
bool is_special_file(const QString& path) {
  const QFileInfo info(path);
  return info.exists() && !info.isFile() && !info.isDir();
}
}  // namespace

window_preferences::window_preferences(const launch_options& launch)
    : launch_(launch),
      // Named after the program, not the executable: a renamed or wrapped
      // binary (or a test) finds the same file.
      path_(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/ostrevin/ostrevin_preferences") {}

void window_preferences::load() {
  if (is_special_file(path_)) {
    qCWarning(app_log).noquote() << "Ostrevin:" << path_ << "is not a regular file; the defaults stay";
  } else {
    QFile file(path_);
    if (file.open(QIODevice::ReadOnly)) {  // else the first run: the defaults stay
      QDataStream in(&file);
      in.setVersion(QDataStream::Qt_4_6);
      in >> current_;
    }
  }
  // PAL-60 only exists as a 60 Hz standard; the flag alone would program a
  // 50 Hz colour mode that no menu item shows or undoes.
  if (!current_.sixty_hz) current_.pal_60 = false;
  // One display mode: the first of F2, Interlaced, Field-blended that is set,
  // in menu order.
  if (current_.display_f2) current_.display_interlaced = false;
  if (current_.display_f2 || current_.display_interlaced) current_.display_field_blended = false;
  second_.load();
  // Deinterlaced holds when the second file says so and the nine bytes say
  // F1, which they hold for it; another mode there was chosen since by a
  // version that knows only the nine bytes, and wins.
  current_.display_deinterlaced = second_.mode() == display_mode::deinterlaced && mode() == display_mode::f1;
  second_.set_mode(mode());
  stored_ = current_;
  if (launch_.standard) {
    current_.sixty_hz = *launch_.standard != video_standard::pal;
    current_.pal_60 = *launch_.standard == video_standard::pal_60;
  }
  if (launch_.s_video) current_.s_video = *launch_.s_video;
}

QString window_preferences::save() const {
  if (is_special_file(path_)) return QObject::tr("%1 is not a regular file").arg(path_);
  // The data location does not exist yet on a fresh account.
  QDir().mkpath(QFileInfo(path_).absolutePath());
  QFile file(path_);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  // What the command line set for this run is not written: the file keeps
  // what it held, until the user chooses that setting from the menus.
  preference_set stored = current_;
  if (launch_.standard) {
    stored.sixty_hz = stored_.sixty_hz;
    stored.pal_60 = stored_.pal_60;
  }
  if (launch_.s_video) stored.s_video = stored_.s_video;
  QDataStream out(&file);
  out.setVersion(QDataStream::Qt_4_6);
  out << stored;
  return QString();
}

video_standard window_preferences::standard() const {
  if (!current_.sixty_hz) return video_standard::pal;
  return current_.pal_60 ? video_standard::pal_60 : video_standard::ntsc;
}

display_mode window_preferences::mode() const {
  if (current_.display_deinterlaced) return display_mode::deinterlaced;
  if (current_.display_f2) return display_mode::f2;
  if (current_.display_interlaced) return display_mode::interlaced;
  if (current_.display_field_blended) return display_mode::field_blended;
  return display_mode::f1;
}

capture_settings window_preferences::capture(capture_settings base) const {
  base.standard = standard();
  base.s_video = current_.s_video;
  base.widescreen = current_.widescreen;
  base.picture = picture();
  return base;
}

picture_controls window_preferences::picture() const {
  picture_controls p = second_.picture(current_.s_video);
  if (launch_.brightness) p.brightness = *launch_.brightness;
  if (launch_.contrast) p.contrast = *launch_.contrast;
  if (launch_.saturation) p.saturation = *launch_.saturation;
  if (launch_.hue) p.hue = *launch_.hue;
  return p.clamped();
}

bool window_preferences::choose_picture(const picture_controls& wanted) {
  const picture_controls asked = wanted.clamped();
  const picture_controls now = picture();
  if (asked == now) return false;
  picture_controls stored = second_.picture(current_.s_video);
  const auto choose = [](int asked, int now, int& stored, std::optional<int>& launched) {
    if (asked == now) return;
    launched.reset();
    stored = asked;
  };
  choose(asked.brightness, now.brightness, stored.brightness, launch_.brightness);
  choose(asked.contrast, now.contrast, stored.contrast, launch_.contrast);
  choose(asked.saturation, now.saturation, stored.saturation, launch_.saturation);
  choose(asked.hue, now.hue, stored.hue, launch_.hue);
  second_.set_picture(current_.s_video, stored);
  return true;
}

bool window_preferences::choose_standard(video_standard standard) {
  if (standard == this->standard()) return false;
  launch_.standard.reset();  // chosen now: stored from here on
  current_.sixty_hz = standard != video_standard::pal;
  current_.pal_60 = standard == video_standard::pal_60;
  return true;
}

bool window_preferences::choose_s_video(bool s_video) {
  if (s_video == current_.s_video) return false;
  launch_.s_video.reset();
  current_.s_video = s_video;
  return true;
}

bool window_preferences::choose_widescreen(bool widescreen) {
  if (widescreen == current_.widescreen) return false;
  current_.widescreen = widescreen;
  return true;
}

bool window_preferences::choose_stick_sound(bool from_stick) {
  if (from_stick == current_.easycap_audio) return false;
  current_.easycap_audio = from_stick;
  return true;
}

bool window_preferences::choose_display_mode(display_mode mode) {
  if (mode == this->mode()) return false;
  current_.display_f2 = mode == display_mode::f2;
  current_.display_interlaced = mode == display_mode::interlaced;
  current_.display_field_blended = mode == display_mode::field_blended;
  // The nine bytes keep F1 for it: the nearest of their modes.
  current_.display_deinterlaced = mode == display_mode::deinterlaced;
  second_.set_mode(mode);
  return true;
}

bool window_preferences::choose_always_on_top(bool on_top) {
  if (on_top == current_.always_on_top) return false;
  current_.always_on_top = on_top;
  return true;
}
