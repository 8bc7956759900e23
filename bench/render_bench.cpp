// Render thread cost per field against the field period (20 ms PAL, 16.68 ms
// at 59.94 fields/s), for every display mode, standard and aspect, with and
// without the encoder conversion; and, for comparison, the swscale call that
// made the BGRA display picture until the display's shader took over (the
// display picture is now the field's own bytes, copied). The conversion runs
// synchronously on this thread, without the hand-off. Target: F1 PAL 4:3
// at most 0.8 ms per field on one core; the display's share no conversion. Then F1,
// Interlaced and Deinterlaced side by side on the virtual stick's test
// pattern, its box moving every field (Deinterlaced's filter does its real
// work only where the picture moves). Target: Deinterlaced PAL at most 4 ms
// per field on one core.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "render/render_thread.h"
#include "sim/test_pattern.h"
#include "tests/support/render_probe.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

enum mode { f1, f2, interlaced, field_blended, deinterlaced };
const char* const mode_names[] = {"F1", "F2", "Interlaced", "Field-blended", "Deinterlaced"};
const display_mode display_modes[] = {display_mode::f1, display_mode::f2, display_mode::interlaced,
                                      display_mode::field_blended, display_mode::deinterlaced};

struct buffers {
  std::vector<unsigned char> handoff = std::vector<unsigned char>(render_thread::handoff_buffer_size);
  std::vector<unsigned char> display = std::vector<unsigned char>(768 * 576 * 4);  // the old BGRA display picture
};

// A realistic field: colour bars over the top two thirds, a luma ramp with a
// bright stripe below, mild noise everywhere. UYVY, 720 pixels a line.
void fill_field(unsigned char* field, int lines, int stripe_x) {
  static const unsigned char bars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                           {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
  std::minstd_rand noise(12345);
  for (int y = 0; y < lines; ++y) {
    for (int x = 0; x < 720; x += 2) {
      unsigned char* p = field + (size_t(y) * 720 + size_t(x)) * 2;
      int luma, cb = 128, cr = 128;
      if (y < lines * 2 / 3) {
        const auto& bar = bars[x / 90];
        luma = bar[0], cb = bar[1], cr = bar[2];
      } else {
        luma = 16 + x * 219 / 720;
        if (std::abs(x - stripe_x) < 12) luma = 235;
      }
      const int n = int(noise() % 7) - 3;
      p[0] = static_cast<unsigned char>(cb);
      p[1] = static_cast<unsigned char>(std::clamp(luma + n, 16, 235));
      p[2] = static_cast<unsigned char>(cr);
      p[3] = static_cast<unsigned char>(std::clamp(luma - n, 16, 235));
    }
  }
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

void report(benchmark::State& state, const std::vector<double>& ms, double budget_ms) {
  const double m = median(ms);
  state.counters["median_ms"] = m;
  state.counters["budget_ms"] = budget_ms;
  state.counters["budget_share_%"] = 100.0 * m / budget_ms;
}

void render_field(benchmark::State& state, mode m, bool sixty_hz, bool widescreen, bool encoder) {
  buffers b;
  const int lines = sixty_hz ? 240 : 288;
  fill_field(b.handoff.data(), lines, 200);

  // The flag: set for the bottom field.
  auto bottom = [sixty_hz](uint32_t n) { return (n % 2 == 1) != sixty_hz; };
  render_thread render;
  render_settings s;
  s.frame_lines = 2 * lines;
  s.half_display_width = sixty_hz ? 320 : 384;
  s.half_display_height = sixty_hz ? (widescreen ? 180 : 240) : (widescreen ? 216 : 288);
  render.set_render_settings(s);
  render.set_display_mode(display_modes[m]);
  render.set_recording(encoder);

  // The first field builds pictures and scalers; the program pays that once.
  bool flag = false;
  if (!render_probe::render_one_field(render, flag, b.handoff.data())) {
    state.SkipWithError("conversion failed");
    return;
  }
  std::vector<double> ms;
  ms.reserve(1 << 16);
  for (auto _ : state) {
    flag = !flag;  // fields alternate, so F2, weave and blend do their real share
    const auto t0 = std::chrono::steady_clock::now();
    render_probe::render_one_field(render, flag, b.handoff.data());
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  report(state, ms, sixty_hz ? 16.68 : 20.0);
}

// Two seconds of the test pattern, fed in order as the stick sends it
// (each picture's top field first at 50 Hz, its bottom field at 60 Hz),
// round and round.
void render_moving(benchmark::State& state, mode m, bool sixty_hz) {
  const int lines = sixty_hz ? 240 : 288;
  const size_t field_bytes = size_t(lines) * 1440;
  std::vector<unsigned char> fields(100 * field_bytes);
  for (uint32_t n = 0; n < 100; ++n)
    test_pattern::draw_field(&fields[n * field_bytes], lines, 1440, test_pattern::field_info{n, n % 2 == 0, {}, false});

  // The flag: set for the bottom field.
  auto bottom = [sixty_hz](uint32_t n) { return (n % 2 == 1) != sixty_hz; };
  render_thread render;
  render_settings s;
  s.frame_lines = 2 * lines;
  s.half_display_width = sixty_hz ? 320 : 384;
  s.half_display_height = sixty_hz ? 240 : 288;
  render.set_render_settings(s);
  render.set_display_mode(display_modes[m]);
  // The first fields build pictures, scalers and the filter.
  uint32_t n = 0;
  for (; n < 4; ++n)
    if (!render_probe::render_one_field(render, bottom(n), &fields[n * field_bytes])) {
      state.SkipWithError("conversion failed");
      return;
    }
  std::vector<double> ms;
  ms.reserve(1 << 16);
  for (auto _ : state) {
    const unsigned char* field = &fields[(n % 100) * field_bytes];
    const auto t0 = std::chrono::steady_clock::now();
    render_probe::render_one_field(render, bottom(n), field);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    ++n;
  }
  report(state, ms, sixty_hz ? 16.68 : 20.0);
}

void bare_swscale(benchmark::State& state) {
  buffers b;
  fill_field(b.handoff.data(), 288, 200);
  SwsContext* scaler = sws_getContext(720, 288, AV_PIX_FMT_UYVY422, 768, 576, AV_PIX_FMT_BGRA, SWS_FAST_BILINEAR,
                                      nullptr, nullptr, nullptr);
  if (!scaler) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  const uint8_t* source[4] = {b.handoff.data()};
  const int source_stride[4] = {1440};
  uint8_t* target[4] = {b.display.data()};
  const int target_stride[4] = {768 * 4};
  std::vector<double> ms;
  ms.reserve(1 << 16);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    sws_scale(scaler, source, source_stride, 0, 288, target, target_stride);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  sws_freeContext(scaler);
  report(state, ms, 20.0);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // the render thread is a QObject with signals
  benchmark::Initialize(&argc, argv);

  benchmark::RegisterBenchmark("old display path: sws_scale UYVY 720x288 -> BGRA 768x576 fast-bilinear", bare_swscale)
      ->Unit(benchmark::kMillisecond);
  for (int m = f1; m <= field_blended; ++m)
    for (bool sixty_hz : {false, true})
      for (bool widescreen : {false, true})
        for (bool encoder : {false, true}) {
          const std::string name = std::string("render ") + mode_names[m] + (sixty_hz ? " NTSC" : " PAL") +
                                   (widescreen ? " 16:9" : " 4:3") + (encoder ? " +encoder" : "");
          benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
            render_field(state, mode(m), sixty_hz, widescreen, encoder);
          })->Unit(benchmark::kMillisecond);
        }

  for (int m : {f1, interlaced, deinterlaced})
    for (bool sixty_hz : {false, true}) {
      const std::string name = std::string("render moving ") + mode_names[m] + (sixty_hz ? " NTSC" : " PAL");
      benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        render_moving(state, mode(m), sixty_hz);
      })->Unit(benchmark::kMillisecond);
    }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
