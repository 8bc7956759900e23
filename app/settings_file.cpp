#include "app/settings_file.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSettings>
#include <iterator>

#include "base/logging.h"

namespace {
const char* group_for(bool s_video) { return s_video ? "s_video" : "composite"; }

// display/mode's values, in display_mode's order.
constexpr const char* mode_names[] = {"f1", "f2", "interlaced", "field_blended", "deinterlaced"};

// The integer stored under `key`, brought into `range`; `fallback` when it
// is missing or not a number.
int read_value(const QSettings& file, const QString& key, const picture_controls::range& range, int fallback) {
  bool ok = false;
  const int value = file.value(key).toString().trimmed().toInt(&ok);
  return ok ? range.clamp(value) : fallback;
}
}  // namespace

settings_file::settings_file(const QString& preferences_path)
    : path_(QFileInfo(preferences_path).absolutePath() + "/ostrevin.ini") {}

void settings_file::load() {
  problem_.clear();
  composite_ = s_video_ = picture_controls{};
  mode_ = display_mode::f1;
  const QFileInfo info(path_);
  if (!info.exists()) return;  // the first run
  if (info.isDir())
    problem_ = QObject::tr("%1 is a folder, not a settings file").arg(path_);
  else if (!info.isFile())
    problem_ = QObject::tr("%1 is not a regular file").arg(path_);
  else if (info.size() == 0)
    problem_ = QObject::tr("%1 is empty").arg(path_);
  else if (QFile file(path_); !file.open(QIODevice::ReadOnly))
    problem_ = QObject::tr("%1 cannot be read: %2").arg(path_, file.errorString());
  if (problem_.isEmpty()) {
    QSettings file(path_, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
      problem_ = QObject::tr("%1 is damaged").arg(path_);
    } else {
      for (const bool s_video : {false, true}) {
        const picture_controls defaults;
        const QString group = group_for(s_video);
        picture_controls& p = s_video ? s_video_ : composite_;
        p.brightness = read_value(file, group + "/brightness", picture_controls::brightness_range, defaults.brightness);
        p.contrast = read_value(file, group + "/contrast", picture_controls::contrast_range, defaults.contrast);
        p.saturation = read_value(file, group + "/saturation", picture_controls::saturation_range, defaults.saturation);
        p.hue = read_value(file, group + "/hue", picture_controls::hue_range, defaults.hue);
      }
      const QString mode = file.value("display/mode").toString().trimmed().toLower();
      for (size_t m = 0; m < std::size(mode_names); ++m)
        if (mode == QLatin1String(mode_names[m])) mode_ = static_cast<display_mode>(m);
    }
  }
  if (!problem_.isEmpty())
    qCWarning(app_log).noquote() << QString("settings: the picture controls keep their defaults: %1").arg(problem_);
}

QString settings_file::save() const {
  const QFileInfo info(path_);
  if (info.exists() && !info.isFile()) return QObject::tr("%1 is not a regular file").arg(path_);
  QDir().mkpath(info.absolutePath());
  QSettings file(path_, QSettings::IniFormat);
  for (const bool s_video : {false, true}) {
    const picture_controls& p = s_video ? s_video_ : composite_;
    file.beginGroup(group_for(s_video));
    file.setValue("brightness", p.brightness);
    file.setValue("contrast", p.contrast);
    file.setValue("saturation", p.saturation);
    file.setValue("hue", p.hue);
    file.endGroup();
  }
  file.setValue("display/mode", mode_names[size_t(mode_)]);
  file.sync();
  return file.status() == QSettings::NoError ? QString() : QObject::tr("%1 cannot be written").arg(path_);
}

void settings_file::set_picture(bool s_video, const picture_controls& controls) {
  (s_video ? s_video_ : composite_) = controls.clamped();
}
