// Throughput of the encoder's AVI writer (HuffYUV 720 x 576 yuv422p plus the
// 1000-byte PCM packets, one thread) next to the ffmpeg command-line tool
// turning the same raw frames and audio into the same kind of file, in the
// same run. Prints frames per second for both and the ratio; the real-time
// need is 25 frames/s.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "record/avi_writer.h"
#include "record/frame_buffer.h"

namespace {

constexpr int width = 720, height = 576, field_lines = 288;
constexpr size_t frame_size = size_t(width) * height * 2;
constexpr int distinct_frames = 25;
constexpr int frames_per_run = 250;  // 10 s of PAL
constexpr int runs = 3;

// 75 % colour bars with a moving luma ramp in a stripe and mild noise, as
// a tape or camera gives.
std::vector<uchar> make_frame(int number) {
  static const uchar bars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                   {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
  std::vector<uchar> frame(frame_size);
  uchar* y_plane = frame.data();
  uchar* cb_plane = y_plane + size_t(width) * height;
  uchar* cr_plane = cb_plane + size_t(width / 2) * height;
  uint32_t noise = 12345u + uint32_t(number) * 7919u;
  auto jitter = [&noise] {
    noise = noise * 1664525u + 1013904223u;
    return int(noise >> 29) - 4;  // -4 .. 3
  };
  for (int y = 0; y < height; ++y) {
    const bool stripe = y >= 400 && y < 460;
    for (int x = 0; x < width; ++x) {
      const int bar = x * 8 / width;
      int luma = stripe ? 16 + (x + number * 8) % 220 : bars[bar][0];
      y_plane[size_t(y) * width + x] = uchar(std::clamp(luma + jitter(), 0, 255));
    }
    for (int x = 0; x < width / 2; ++x) {
      const int bar = x * 16 / width;
      cb_plane[size_t(y) * width / 2 + x] = uchar(std::clamp((stripe ? 128 : bars[bar][1]) + jitter() / 2, 0, 255));
      cr_plane[size_t(y) * width / 2 + x] = uchar(std::clamp((stripe ? 128 : bars[bar][2]) + jitter() / 2, 0, 255));
    }
  }
  return frame;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The writer as the encoder thread drives it: audio chunks until the audio
// has reached the frame's time, then the frame. The frames are copied into
// their own buffers beforehand, as the main window hands them over.
double run_writer(const std::vector<std::vector<uchar>>& frames, const QString& base, qint64& bytes) {
  avi_writer writer;
  avi_format format;
  format.width = width;
  format.height = 2 * field_lines;
  const QString file_name = base + ".avi";
  std::vector<frame_buffer> copies(frames_per_run);
  for (int i = 0; i < frames_per_run; ++i) {
    copies[size_t(i)] = frame_buffer::allocate(frame_size);
    std::memcpy(copies[size_t(i)].data(), frames[size_t(i % distinct_frames)].data(), frame_size);
  }
  std::vector<uchar> silence(1000, 0);
  const auto start = std::chrono::steady_clock::now();
  if (!writer.open(file_name, format)) {
    std::printf("avi_writer_bench: %s\n", qPrintable(writer.failure_message()));
    std::exit(1);
  }
  for (int i = 0; i < frames_per_run;) {
    writer.write_sound(silence.data());
    if (writer.compare_video_to_sound() <= 0) writer.write_frame(std::move(copies[size_t(i++)]));
  }
  writer.close();
  const double elapsed = seconds_since(start);
  bytes = QFile(file_name).size();
  QFile::remove(file_name);
  return elapsed;
}

double run_command_line(const QString& ffmpeg, const QString& dir, qint64& bytes) {
  const QString out = dir + "/cli.avi";
  QStringList arguments =
      QString(
          "-v error -y -f rawvideo -pix_fmt yuv422p -s 720x576 -r 25 -i DIR/frames.yuv "
          "-f s16le -ar 48000 -ac 2 -i DIR/audio.raw -c:v huffyuv -threads 1 -c:a pcm_s16le DIR/cli.avi")
          .split(' ');
  arguments.replaceInStrings("DIR", dir);
  const auto start = std::chrono::steady_clock::now();
  const int result = QProcess::execute(ffmpeg, arguments);
  const double elapsed = seconds_since(start);
  if (result != 0) {
    std::printf("avi_writer_bench: ffmpeg failed (%d)\n", result);
    std::exit(1);
  }
  bytes = QFile(out).size();
  QFile::remove(out);
  return elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
  if (ffmpeg.isEmpty()) {
    std::printf("avi_writer_bench: no ffmpeg command-line tool; skipped\n");
    return 0;
  }
  QTemporaryDir dir;
  std::vector<std::vector<uchar>> frames;
  for (int i = 0; i < distinct_frames; ++i) frames.push_back(make_frame(i));
  {
    QFile raw(dir.path() + "/frames.yuv");
    raw.open(QIODevice::WriteOnly);
    for (int i = 0; i < frames_per_run; ++i)
      raw.write(reinterpret_cast<const char*>(frames[size_t(i % distinct_frames)].data()), qint64(frame_size));
    QFile audio(dir.path() + "/audio.raw");
    audio.open(QIODevice::WriteOnly);
    audio.write(QByteArray(frames_per_run * 7680, '\0'));
  }

  std::vector<double> ours, theirs;
  qint64 our_bytes = 0, their_bytes = 0;
  for (int r = 0; r < runs; ++r) {
    ours.push_back(run_writer(frames, dir.path() + "/ours", our_bytes));
    theirs.push_back(run_command_line(ffmpeg, dir.path(), their_bytes));
  }
  const double our_fps = frames_per_run / median(ours);
  const double their_fps = frames_per_run / median(theirs);
  std::printf("AVI writer, %d frames 720x576 yuv422p + PCM, median of %d runs\n", frames_per_run, runs);
  std::printf("  encode (this program):  %7.1f frames/s  %6.2f ms/frame  %5.1f MB file\n", our_fps, 1000.0 / our_fps,
              our_bytes / 1e6);
  std::printf("  ffmpeg -threads 1:      %7.1f frames/s  %6.2f ms/frame  %5.1f MB file\n", their_fps,
              1000.0 / their_fps, their_bytes / 1e6);
  std::printf("  ratio:                  %7.2f x\n", our_fps / their_fps);
  std::printf("  real time needs 25 frames/s: %.1f %% of one core\n", 100.0 * 25.0 / our_fps);
  return 0;
}
