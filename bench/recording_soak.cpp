// A long recording from the paced virtual stick through the real window,
// with sound from whatever sound server is there (tests/support/with_pulse.sh
// provides one with a tone): fields dropped, the latency from a field's last
// packet to its picture on the display, the program's CPU share and its
// resident memory at the start and the end. bench/live_path_soak.sh runs it
// on an idle machine and with both cores held by busy loops.
//
//   xvfb-run -a bash tests/support/with_pulse.sh build/bench/recording_soak [seconds] [directory]
//
// Seconds default to 600; the file goes to a temporary directory (or the one
// given) and is deleted afterwards unless a directory was given. With the
// directory "-", nothing is recorded: the same figures for the preview alone.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstdio>
#include <memory>

#include "app/main_window.h"
#include "sim/in_process_backend.h"

namespace {

std::atomic<int> status_lines{0};

void quiet_handler(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (text.contains("supposed to have encoded"))
    ++status_lines;
  else if (type != QtDebugMsg || text.startsWith("recording") || text.contains("real-time"))
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

long resident_kib() {
  QFile status("/proc/self/status");
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
  return -1;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  QTemporaryDir temporary;
  const QString directory = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporary.path();
  const bool record = directory != "-";
  QTemporaryDir home;
  qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
  qInstallMessageHandler(quiet_handler);

  in_process_backend backend;
  backend.set_paced(true);
  backend.add(std::make_shared<virtual_stick>());
  set_default_usb_backend(&backend);

  capture_pipeline parts;
  main_window window(parts);
  window.show();
  if (!QTest::qWaitFor([&] { return parts.sound.is_running(); }, 10000)) {
    std::fprintf(stderr, "the stick did not stream\n");
    return 1;
  }
  QTest::qWait(2000);  // sound settles, the window has its size

  // What "Set capture &file ..." would store; then "&Capture".
  parts.recording.next_settings().base_name = directory + "/soak";
  QAction* capture = nullptr;
  QAction* stop = nullptr;
  for (QAction* a : window.findChildren<QAction*>()) {
    if (a->text() == "&Capture") capture = a;
    if (a->text() == "&Stop capture") stop = a;
  }
  capture->setEnabled(true);

  const uint32_t lost_before = parts.capture.lost_fields();
  const uint32_t busy_before = parts.render.dropped_fields();
  const uint32_t unshown_before = parts.render.unshown_fields();
  const uint32_t dropped_before = parts.recording.frames_dropped_total();
  const qint64 audio_before = parts.sound.bytes_read();
  const long rss_start = resident_kib();
  const double cpu_start = cpu_seconds();
  QElapsedTimer wall;
  wall.start();
  if (record) capture->trigger();

  long rss_peak = rss_start;
  for (int s = 0; s < seconds; ++s) {
    QTest::qWait(1000);
    rss_peak = std::max(rss_peak, resident_kib());
    if ((s + 1) % 60 == 0)
      std::printf("  %4d s: RSS %ld KiB, frames written %d, fields dropped so far %u\n", s + 1, resident_kib(),
                  int(parts.recording.recorder().counters().frames_in_file),
                  parts.recording.frames_dropped_total() - dropped_before);
    std::fflush(stdout);
  }
  const long rss_end = resident_kib();
  if (record) stop->trigger();
  const double elapsed = wall.elapsed() / 1000.0;
  const double cpu = cpu_seconds() - cpu_start;

  const QString file = directory + "/soak.avi";
  if (!record) std::printf("preview only, nothing recorded\n");
  std::printf("recording: %.1f s of PAL from the paced virtual stick into %s (%.1f MB)\n", elapsed, qPrintable(file),
              QFileInfo(file).size() / 1e6);
  std::printf("frames written: %d (%.1f expected at 25 fps)\n",
              int(parts.recording.recorder().counters().frames_in_file), elapsed * 25.0);
  const uint32_t lost = parts.capture.lost_fields() - lost_before;
  const uint32_t busy = parts.render.dropped_fields() - busy_before;
  std::printf(
      "frames dropped or damaged (reported): %u; fields the capture pipeline lost: %u "
      "(%u incomplete, %u while the render thread was busy); fields converted but not shown, a newer one "
      "waiting: %u\n",
      parts.recording.frames_dropped_total() - dropped_before, lost, lost - busy, busy,
      parts.render.unshown_fields() - unshown_before);
  const latency_record& latency = parts.display.latency();
  std::printf(
      "latency, last packet of a field to its picture handed to the display: median %.1f ms, 99th "
      "percentile %.1f ms, over %llu pictures\n",
      latency.percentile(0.5), latency.percentile(0.99), (unsigned long long)latency.count());
  recorder& recorder = parts.recording.recorder();
  std::printf(
      "sound read: %.1f s; sound clock %+.1f ppm against the picture; cuts: %lld, paddings: %lld; "
      "%.1f s of sound missing, %.1f s dropped; status lines: %d\n",
      (parts.sound.bytes_read() - audio_before) / 192000.0, recorder.counters().sound_clock_ppm,
      (long long)recorder.counters().sound_cuts, (long long)recorder.counters().sound_paddings,
      recorder.counters().sound_missing_samples / 48000.0, recorder.counters().sound_dropped_samples / 48000.0,
      status_lines.load());
  std::printf("CPU: %.1f s over %.1f s = %.1f %% of one core (%d cores here)\n", cpu, elapsed, 100.0 * cpu / elapsed,
              QThread::idealThreadCount());
  std::printf("resident memory: %ld KiB at the start, %ld KiB at the end, %ld KiB at most\n", rss_start, rss_end,
              rss_peak);
  window.close();
  return 0;
}
