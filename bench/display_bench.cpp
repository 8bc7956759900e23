// GUI-thread cost of one displayed picture, uploaded and drawn, against the
// 20 ms field period: the render thread's 4:2:2 picture as the display now
// takes it (the shader weaves, blends, scales and converts), and the two
// BGRA paths before it (the render thread converted with libswscale; first
// swapped and specified anew, then uploaded as the bytes were). Also the
// uploads on their own.
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

#include "render/display_picture.h"
#include "render/video_widget.h"
#include "sim/test_pattern.h"

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

// The display path now: the render thread's 4:2:2 picture (the test
// pattern), one field, two fields or a frame, uploaded as it is and drawn
// by the shader of its layout.
struct raw_case {
  const char* name;
  int lines;  // of a field
  int rows;
  picture_layout layout;
};
constexpr raw_case raw_pictures[] = {{"PAL F1/F2", 288, 288, picture_layout::rows},
                                     {"PAL Interlaced", 288, 576, picture_layout::woven},
                                     {"PAL Field-blended", 288, 576, picture_layout::blended},
                                     {"PAL Deinterlaced", 288, 576, picture_layout::rows},
                                     {"NTSC F1/F2", 240, 240, picture_layout::rows},
                                     {"NTSC Interlaced", 240, 480, picture_layout::woven}};

void BM_show_picture(benchmark::State& state) {
  const raw_case& c = raw_pictures[state.range(0)];
  std::vector<unsigned char> pixels(size_t(720) * 2 * size_t(c.rows));
  for (int r = 0; r < c.rows; r += c.lines)
    test_pattern::draw_field(&pixels[size_t(r) * 1440], c.lines, 1440,
                             test_pattern::field_info{uint32_t(r), r == 0, {}, false});
  picture_info info;
  info.width = 720;
  info.rows = c.rows;
  info.layout = c.layout;
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    widget->display_picture(pixels.data(), info);
    widget->repaint();
    widget->makeCurrent();
    glFinish();
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  state.SetLabel(c.name);
  report(state, total);
}
BENCHMARK(BM_show_picture)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->UseRealTime();

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
