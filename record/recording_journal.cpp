#include "record/recording_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>

namespace {

constexpr char first_line[] = "Ostrevin recording in progress";
constexpr char suffix[] = ".recording";

void sync_directory(const QString& directory) {
  const int fd = ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

namespace recording_journal {

QString default_directory() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/ostrevin/unfinished recordings";
}

QString begin(const QString& directory, const QString& recording) {
  if (directory.isEmpty() || !QDir().mkpath(directory)) return {};
  const QString path = QFileInfo(recording).absoluteFilePath();
  const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
  const QString note = directory + "/" + QString::fromLatin1(hash) + suffix;
  QSaveFile file(note);
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(QByteArray(first_line) + "\n" + path.toUtf8() + "\n");
  if (!file.commit()) return {};  // written, synced and renamed into place
  sync_directory(directory);
  return note;
}

void end(const QString& note) {
  if (note.isEmpty()) return;
  QFile::remove(note);
  sync_directory(QFileInfo(note).absolutePath());
}

QList<entry> unfinished(const QString& directory) {
  QList<entry> found;
  if (directory.isEmpty()) return found;
  const QFileInfoList notes =
      QDir(directory).entryInfoList({QString("*") + suffix}, QDir::Files, QDir::Time | QDir::Reversed);
  for (const QFileInfo& info : notes) {
    QFile file(info.absoluteFilePath());
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines[0] != first_line || lines[1].isEmpty()) continue;
    found.append({info.absoluteFilePath(), QString::fromUtf8(lines[1])});
  }
  return found;
}

}  // namespace recording_journal

namespace recording_journal {

void forget(const QString& directory, const QString& recording) {
  const QString path = QFileInfo(recording).absoluteFilePath();
  for (const entry& e : unfinished(directory))
    if (e.recording == path) end(e.note);
}

}  // namespace recording_journal
