#include "app/picture_saver.h"

#include <sys/resource.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStandardPaths>
#include <QThreadPool>

namespace {
// Enough numbers for any burst of presses within one second.
constexpr int names_per_second = 1000;

// Writes `png` under the first free name; the file's path, or empty and `why`.
QString write_new_file(const QDir& dir, const QDateTime& when, const QByteArray& png, QString* why) {
  for (int number = 1; number <= names_per_second; ++number) {
    const QString path = dir.filePath(picture_saver::file_name(when, number));
    QFile file(path);
    // NewOnly: created here or not at all, never over a file that appeared
    // since the name was thought free.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
      if (file.exists()) continue;
      *why = file.errorString();
      return QString();
    }
    if (file.write(png) != png.size() || !file.flush()) {
      *why = file.errorString();
      file.close();
      file.remove();  // half a picture is no picture
      return QString();
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
      *why = file.errorString();
      file.remove();
      return QString();
    }
    return path;
  }
  *why = QObject::tr("every name for this second is taken");
  return QString();
}
}  // namespace

picture_saver::picture_saver(QObject* parent) : QObject(parent) { pool_.setMaxThreadCount(1); }

// The writes hold `this` until they are done.
picture_saver::~picture_saver() { wait(); }

QSize picture_saver::size_for(bool sixty_hz, bool widescreen) {
  if (sixty_hz) return widescreen ? QSize(854, 480) : QSize(640, 480);
  return widescreen ? QSize(1024, 576) : QSize(768, 576);
}

QString picture_saver::folder_for(const QString& capture_base) {
  if (!capture_base.isEmpty()) return QFileInfo(capture_base).absolutePath();
  const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
  return pictures.isEmpty() ? QDir::homePath() : pictures;
}

QString picture_saver::file_name(const QDateTime& when, int number) {
  const QString stamp = when.toString("yyyy-MM-dd-HH-mm-ss");
  return number <= 1 ? QString("ostrevin-%1.png").arg(stamp) : QString("ostrevin-%1-%2.png").arg(stamp).arg(number);
}

void picture_saver::save(const QImage& picture, QSize size, const QString& folder, const QDateTime& when) {
  if (picture.isNull()) {
    emit failed(tr("there is no picture yet"));
    return;
  }
  // A copy of its own: the shown picture's buffer is reused for the next one.
  write([copy = picture.copy()] { return copy; }, size, folder, when);
}

void picture_saver::save(std::vector<unsigned char> uyvy, const picture_info& info, QSize size, const QString& folder,
                         const QDateTime& when) {
  if (!info.valid() || uyvy.size() < info.bytes() || size.isEmpty()) {
    emit failed(tr("there is no picture yet"));
    return;
  }
  write([uyvy = std::move(uyvy), info, size] { return picture_image(uyvy.data(), info, size); }, size, folder, when);
}

void picture_saver::write(std::function<QImage()> picture, QSize size, const QString& folder, const QDateTime& when) {
  pool_.start([this, picture = std::move(picture), size, folder, when] {
    // Never urgent: the capture, render and recorder threads come first
    // when the CPU is short (on Linux a thread's nice value is its own).
    setpriority(PRIO_PROCESS, 0, 10);
    QString why;
    QString path;
    QDir dir(folder);
    if (!dir.exists() && !dir.mkpath(".")) {
      why = tr("the folder %1 cannot be made").arg(folder);
    } else {
      const QImage made = picture();
      const QImage scaled =
          made.size() == size ? made : made.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      if (scaled.convertToFormat(QImage::Format_RGB888).save(&buffer, "PNG"))
        path = write_new_file(dir, when, png, &why);
      else
        why = tr("the picture could not be encoded");
    }
    // Back on this object's thread; dropped if it is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, path, why] {
          if (!path.isEmpty())
            emit saved(path);
          else
            emit failed(why);
        },
        Qt::QueuedConnection);
  });
}
