// A small file system of a test's own: a tmpfs mounted on a temporary
// folder for as long as the object lives. Mounting needs root (CI runs as
// root); where it fails, mounted() is false and error() says why.
#pragma once

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdint>
#include <cstring>

class small_file_system {
 public:
  explicit small_file_system(int64_t bytes) {
    if (!folder_.isValid()) return;
    const QByteArray options = "size=" + QByteArray::number(qlonglong(bytes)) + ",mode=0755";
    if (::mount("ostrevin-test", QFile::encodeName(folder_.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                options.constData()) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~small_file_system() {
    if (mounted_) ::umount2(QFile::encodeName(folder_.path()).constData(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const char* error() const { return error_; }
  QString path(const QString& name) const { return folder_.filePath(name); }
  int64_t free_bytes() const {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(folder_.path()).constData(), &fs) != 0) return -1;
    return int64_t(fs.f_bavail) * int64_t(fs.f_frsize);
  }

 private:
  QTemporaryDir folder_;
  bool mounted_ = false;
  const char* error_ = "no temporary folder";
};
