// GUI-thread cost of one displayed image at PAL 4:3 (768 x 576): wrap the
// display buffer in a QImage, swap red and blue, upload the texture and draw,
// against the 20 ms field period. Also the parts on their own, and the upload
// of the BGRA bytes without the swap for comparison.
// Needs an X display: run under `xvfb-run -a`.
#include <benchmark/benchmark.h>

#include <GL/gl.h>
#include <GL/glext.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "render/lumo.h"

namespace {

constexpr int width = 768, height = 576;
constexpr double field_period_ms = 20.0;

Lumo* widget = nullptr;

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

// What frame_ready(bool) and display_image cost together, drawn and finished.
void BM_show_image_pal_4_3(benchmark::State& state) {
  std::vector<unsigned char> buffer = make_buffer();
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const QImage image(buffer.data(), width, height, width * 4, QImage::Format_RGB32);
    widget->display_image(image);
    widget->repaint();
    widget->makeCurrent();
    glFinish();
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  report(state, total);
}
BENCHMARK(BM_show_image_pal_4_3)->Unit(benchmark::kMillisecond)->UseRealTime();

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
  Lumo lumo;
  lumo.resize(width, height);
  lumo.show();
  if (!QTest::qWaitForWindowExposed(&lumo)) {
    std::printf("display_bench: the widget was never shown; skipped\n");
    return 0;
  }
  widget = &lumo;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
