#include "tests/support/pulse_probe.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QProcess>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pulse_probe {

bool server_available() { return qEnvironmentVariableIsSet("PULSE_SERVER") && !pactl({"info"}).isNull(); }

std::vector<int16_t> record_preview(int ms) {
  QProcess parec;
  parec.start("parec", {"-d", "preview.monitor", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                        "--latency-msec=20"});
  std::vector<int16_t> samples;
  if (!parec.waitForStarted(5000)) return samples;
  QTest::qWait(ms);
  parec.terminate();
  parec.waitForFinished(5000);
  const QByteArray bytes = parec.readAllStandardOutput();
  samples.resize(size_t(bytes.size()) / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
  return samples;
}

double tone_level(const std::vector<int16_t>& stereo, double hz) {
  const size_t frames = stereo.size() / 2;
  if (frames == 0) return 0.0;
  const double w = 2.0 * M_PI * hz / 48000.0;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (size_t i = 0; i < frames; ++i) {
    const double s0 = stereo[2 * i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / double(frames);
}

int peak(const std::vector<int16_t>& stereo) {
  int p = 0;
  for (int16_t s : stereo) p = std::max(p, std::abs(int(s)));
  return p;
}

QString pactl(const QStringList& arguments) {
  QProcess process;
  process.start("pactl", arguments);
  if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return QString();
  return QString::fromUtf8(process.readAllStandardOutput());
}

int load_source(const QString& name, const QString& description) {
  const QString out = pactl({"load-module", "module-remap-source", "source_name=" + name, "master=stick_feed.monitor",
                             "channels=2", QString("source_properties='device.description=\"%1\"'").arg(description)});
  bool ok = false;
  const int index = out.trimmed().toInt(&ok);
  return ok ? index : -1;
}

void unload_module(int index) {
  if (index >= 0) pactl({"unload-module", QString::number(index)});
}

int module_of_source(const QString& source_name) {
  const QString out = pactl({"list", "short", "modules"});
  for (const QString& line : out.split('\n')) {
    const QStringList fields = line.split('\t');
    if (fields.size() >= 3 && fields[2].contains("source_name=" + source_name + " ")) return fields[0].toInt();
    if (fields.size() >= 3 && fields[2].endsWith("source_name=" + source_name)) return fields[0].toInt();
  }
  return -1;
}

bool wait_for_input(const QString& id, bool present, int timeout_ms) {
  return QTest::qWaitFor(
      [&] {
        bool listed = false;
        for (const QAudioDevice& d : QMediaDevices::audioInputs()) listed = listed || QString::fromUtf8(d.id()) == id;
        return listed == present;
      },
      timeout_ms);
}

}  // namespace pulse_probe
