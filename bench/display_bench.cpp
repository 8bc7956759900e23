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
#include <ctime>
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

// As the program's event loop does it: the widget's update request is
// handled, paintGL() draws into the widget's framebuffer and Qt composes
// that into the window; then the drawing is waited for, since a software
// renderer (llvmpipe) does it on threads of its own.
void draw_and_finish() {
  bool swapped = false;
  const auto connection = QObject::connect(widget, &QOpenGLWidget::frameSwapped, [&] { swapped = true; });
  widget->update();
  while (!swapped) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  QObject::disconnect(connection);
  widget->makeCurrent();
  glFinish();
}

// CPU time of the calling (GUI) thread, in ms: a software renderer's own
// threads are not in it, and neither is the wait for the frame's turn.
double thread_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// The GUI thread's CPU per picture: handing it to the widget (the upload),
// and in all (with the drawing, Qt's composition into the window and the
// presentation to the X server).
struct gui_cost {
  double hand_over_ms = 0, all_ms = 0;
  template <typename F>
  void time(F hand_over) {
    const double t0 = thread_cpu_ms();
    hand_over();
    const double t1 = thread_cpu_ms();
    draw_and_finish();
    hand_over_ms += t1 - t0;
    all_ms += thread_cpu_ms() - t0;
  }
  void report(benchmark::State& state) const {
    const double n = double(state.iterations());
    state.counters["hand_over_ms"] = hand_over_ms / n;
    state.counters["gui_thread_ms"] = all_ms / n;
    state.counters["pct_of_20ms"] = 100.0 * all_ms / n / field_period_ms;
  }
};

// What one displayed BGRA image cost the GUI thread, drawn and finished,
// for each standard and display mode (Field-blended showed half the height),
// when the render thread converted: "after" uploaded the BGRA as it was
// into the texture's existing storage; "before" swapped red and blue into
// a new copy and specified the texture anew for every image.
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
  gui_cost cost;
  GLuint texture = 0;
  if (before) {
    widget->makeCurrent();
    glGenTextures(1, &texture);
  }
  for (auto _ : state) {
    cost.time([&] {
      const QImage image(buffer.data(), c.width, c.height, c.width * 4, QImage::Format_RGB32);
      if (before) {
        const QImage swapped = image.rgbSwapped();
        widget->makeCurrent();
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, c.width, c.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, swapped.constBits());
      } else {
        widget->display_image(image);
      }
    });
  }
  if (before) glDeleteTextures(1, &texture);
  state.SetLabel(c.name);
  cost.report(state);
}
void BM_show_image_before(benchmark::State& state) { show_image(state, true); }
void BM_show_image_after(benchmark::State& state) { show_image(state, false); }
BENCHMARK(BM_show_image_before)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_show_image_after)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

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
  gui_cost cost;
  for (auto _ : state) cost.time([&] { widget->display_picture(pixels.data(), info); });
  state.SetLabel(c.name);
  cost.report(state);
}
BENCHMARK(BM_show_picture)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

// "Save picture" converts the picture on screen on the GUI thread, with the
// shader's arithmetic on the CPU, straight to the file's size: PAL woven
// fields at 768 x 576 and at 16:9's 1024 x 576.
void BM_save_picture_conversion(benchmark::State& state) {
  const int out_width = int(state.range(0));
  std::vector<unsigned char> pixels(size_t(720) * 2 * 576);
  for (int r = 0; r < 576; r += 288)
    test_pattern::draw_field(&pixels[size_t(r) * 1440], 288, 1440,
                             test_pattern::field_info{uint32_t(r), r == 0, {}, false});
  picture_info info;
  info.width = 720;
  info.rows = 576;
  info.layout = picture_layout::woven;
  std::vector<unsigned char> bgra(size_t(out_width) * 576 * 4);
  for (auto _ : state) {
    picture_to_bgra(pixels.data(), info, bgra.data(), out_width, 576);
    benchmark::DoNotOptimize(bgra.data());
  }
}
BENCHMARK(BM_save_picture_conversion)->Arg(768)->Arg(1024)->Unit(benchmark::kMillisecond);

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
