// GUI-thread cost of one displayed image: wrap the display buffer in a
// QImage, upload the texture and draw, against the 20 ms field period; the
// path before and after the upload took the BGRA bytes as they are. Also
// the parts on their own.
// Needs an X display: run under `xvfb-run -a`.
#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "render/video_widget.h"

namespace {

constexpr int width = 768, height = 576;
constexpr double field_period_ms = 20.0;

video_widget* widget = nullptr;

std::vector<unsigned char> make_buffer() {
  std::vector<unsigned char> buffer(size_t(width) * height * 4);
  for (size_t i = 0; i < buffer.size(); i += 4) {
    const size_t pixel = i / 4;
    buffer[i] = static_cast<unsigned char>(pixel % 251);
    buffer[i + 1] = static_cast<unsigned char>(pixel / width);
    buffer[i + 2] = static_cast<unsigned char>(pixel * 7 % 253);
    buffer[i + 3] = 255;
  }
  return buffer;
}

void report(benchmark::State& state, double total_ms) {
  const double per_image = total_ms / double(state.iterations());
  state.counters["ms_per_image"] = per_image;
  state.counters["pct_of_20ms"] = 100.0 * per_image / field_period_ms;
}

// What one displayed image costs the GUI thread, drawn and finished, for
// each standard and display mode (Field-blended shows half the height):
// "after" is the program's path (the render thread's BGRA uploaded as it
// is into the texture's existing storage); "before" is the path it
// replaced (red and blue swapped into a new copy, the texture specified
// anew for every image).
struct picture_case {
  const char* name;
  int width, height;
};
constexpr picture_case pictures[] = {{"PAL F1/F2/Interlaced", 768, 576},
                                     {"PAL Field-blended", 768, 288},
                                     {"NTSC F1/F2/Interlaced", 640, 480},
                                     {"NTSC Field-blended", 640, 240}};

void show_image(benchmark::State& state, bool before) {
  const picture_case& c = pictures[state.range(0)];
  std::vector<unsigned char> buffer = make_buffer();
  double total = 0;
  GLuint texture = 0;
  if (before) {
    widget->makeCurrent();
    glGenTextures(1, &texture);
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const QImage image(buffer.data(), c.width, c.height, c.width * 4, QImage::Format_RGB32);
    if (before) {
      const QImage swapped = image.rgbSwapped();
      widget->makeCurrent();
      glBindTexture(GL_TEXTURE_2D, texture);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, c.width, c.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, swapped.constBits());
    } else {
      widget->display_image(image);
    }
    widget->repaint();
    widget->makeCurrent();
    glFinish();
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  if (before) glDeleteTextures(1, &texture);
  state.SetLabel(c.name);
  report(state, total);
}
void BM_show_image_before(benchmark::State& state) { show_image(state, true); }
void BM_show_image_after(benchmark::State& state) { show_image(state, false); }
BENCHMARK(BM_show_image_before)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_show_image_after)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_rgb_swap_pal_4_3(benchmark::State& state) {
  std::vector<unsigned char> buffer = make_buffer();
  for (auto _ : state) {
    const QImage image(buffer.data(), width, height, width * 4, QImage::Format_RGB32);
    QImage swapped = image.rgbSwapped();
    benchmark::DoNotOptimize(swapped.constBits());
  }
}
BENCHMARK(BM_rgb_swap_pal_4_3)->Unit(benchmark::kMillisecond);

// Texture upload alone: the swapped RGBA bytes, or the render thread's BGRA
// bytes as they are.
void upload(benchmark::State& state, GLenum format, const std::vector<unsigned char>& pixels) {
  widget->makeCurrent();
  GLuint texture = 0;
  glGenTextures(1, &texture);
  glBindTexture(GL_TEXTURE_2D, texture);
  for (auto _ : state) {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, format, GL_UNSIGNED_BYTE, pixels.data());
    glFinish();
  }
  glDeleteTextures(1, &texture);
}
void BM_upload_rgba_pal_4_3(benchmark::State& state) { upload(state, GL_RGBA, make_buffer()); }
void BM_upload_bgra_pal_4_3(benchmark::State& state) { upload(state, GL_BGRA, make_buffer()); }
BENCHMARK(BM_upload_rgba_pal_4_3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_upload_bgra_pal_4_3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) {
    std::printf("display_bench: no X display; skipped (run it under xvfb-run -a)\n");
    return 0;
  }
  QApplication app(argc, argv);
  video_widget shown;
  shown.resize(width, height);
  shown.show();
  if (!QTest::qWaitForWindowExposed(&shown)) {
    std::printf("display_bench: the widget was never shown; skipped\n");
    return 0;
  }
  widget = &shown;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
