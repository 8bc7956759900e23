// The repair of a recording killed part way, at full size: a writer of
// incompressible frames (tests/support/recording_writer) killed once its file
// has passed each size, the file's pages dropped from the cache, then the
// repair timed. Prints, per file: its size, the open section the repair had
// to walk, the time, the bytes it read, and the time per GB of file; and
// what a recording's note costs in bytes against the file.
//
//   repair_bench [DIR] [SIZE_GB ...]     (default: /tmp, 0.5 1.3 3.3)
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

#include "record/avi_repair.h"
#include "record/recording_journal.h"

namespace {

constexpr double gigabyte = double(1ll << 30);

void drop_from_cache(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList arguments = application.arguments().mid(1);
  const QString parent = arguments.isEmpty() ? QDir::tempPath() : arguments[0];
  QList<double> sizes;
  for (int i = 1; i < arguments.size(); ++i) sizes << arguments[i].toDouble();
  if (sizes.isEmpty()) sizes = {0.5, 1.3, 3.3};
  QTemporaryDir dir(parent + "/repair_bench-XXXXXX");
  if (!dir.isValid()) {
    std::fprintf(stderr, "repair_bench: cannot make a directory in %s\n", qPrintable(parent));
    return 1;
  }
  std::printf("%-10s %-12s %-10s %-12s %-12s %s\n", "file GB", "open GB", "repair s", "read bytes", "s per GB", "kept");
  for (double gb : sizes) {
    const QString base = dir.filePath(QString("killed_%1").arg(gb));
    const QString file = base + ".avi";
    const QString journal = dir.filePath("journal");
    QProcess writer;
    writer.setStandardOutputFile(QProcess::nullDevice());
    writer.setStandardErrorFile(QProcess::nullDevice());
    writer.start(OSTREVIN_RECORDING_WRITER, {base, "--noisy", "--journal", journal});
    if (!writer.waitForStarted(10000)) {
      std::fprintf(stderr, "repair_bench: cannot start the writer\n");
      return 1;
    }
    while (QFileInfo(file).size() < int64_t(gb * gigabyte) && writer.state() == QProcess::Running) QThread::usleep(500);
    writer.kill();
    writer.waitForFinished();
    const int64_t size = QFileInfo(file).size();
    const int64_t open_section = size % (1ll << 30);  // about: sections are 1 GiB
    // What the recording left besides its file: the note.
    int64_t note_bytes = 0;
    for (const recording_journal::entry& e : recording_journal::unfinished(journal))
      note_bytes += QFileInfo(e.note).size();
    drop_from_cache(file);
    QElapsedTimer timer;
    timer.start();
    const avi_repair_result result = repair_avi(file);
    const double seconds = double(timer.nsecsElapsed()) * 1e-9;
    if (!result.ok) {
      std::fprintf(stderr, "repair_bench: %s: %s\n", qPrintable(file), qPrintable(result.error));
      return 1;
    }
    std::printf("%-10.2f %-12.2f %-10.3f %-12lld %-12.3f %s; note %lld bytes (%.2g %% of the file)\n",
                double(size) / gigabyte, double(open_section) / gigabyte, seconds,
                static_cast<long long>(result.bytes_read), seconds / (double(size) / gigabyte),
                qPrintable(describe_repaired_length(result)), static_cast<long long>(note_bytes),
                100.0 * double(note_bytes) / double(size));
    std::fflush(stdout);
    recording_journal::forget(journal, file);
    QFile::remove(file);
  }
  return 0;
}
