// What the sound meters cost the GUI thread, against a budget of 0.05 ms an
// update: the measurement of one 20 ms block (960 frames), the look at the
// levels the timer takes, one paint of the meters at the PAL window's width
// into an image (the raster paint the window's backing store gets), and the
// three together. The meters are painted with everything lit (bars in all
// three zones, the hold, the clip marks) and with "no sound" on both bars.
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QByteArray>
#include <QImage>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "app/sound_meters.h"
#include "audio/sound_levels.h"

namespace {

constexpr int block_frames = 960;  // 20 ms
constexpr int window_width = 768;
constexpr double budget_us = 50.0;

// A 1 kHz sine at `dbfs` on both channels, starting at `first_frame`.
QByteArray sine_block(double dbfs, int64_t first_frame = 0) {
  QByteArray bytes(block_frames * sound_levels::frame_bytes, '\0');
  auto* samples = reinterpret_cast<unsigned char*>(bytes.data());
  const double amplitude = std::min(32767.0, 32768.0 * std::pow(10.0, dbfs / 20.0));
  for (int f = 0; f < block_frames; ++f) {
    const double phase = 2.0 * 3.14159265358979 * 1000.0 * double(first_frame + f) / 48000.0;
    const auto value = uint16_t(int16_t(std::lround(amplitude * std::sin(phase))));
    for (int c = 0; c < 2; ++c) {
      samples[f * 4 + c * 2] = uint8_t(value & 0xff);
      samples[f * 4 + c * 2 + 1] = uint8_t(value >> 8);
    }
  }
  return bytes;
}

// The time per iteration in microseconds, and its share of the budget.
void report(benchmark::State& state, std::chrono::steady_clock::duration spent) {
  const double us = std::chrono::duration<double, std::micro>(spent).count() / double(state.iterations());
  state.counters["us_per_update"] = us;
  state.counters["pct_of_budget"] = 100.0 * us / budget_us;
}

// Runs `once` for each iteration, timed.
template <typename F>
void timed(benchmark::State& state, F&& once) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) once();
  report(state, std::chrono::steady_clock::now() - start);
}

void measure_block(benchmark::State& state) {
  const QByteArray block = sine_block(-6.0);
  sound_levels levels;
  timed(state, [&] {
    levels.add(block.constData(), size_t(block.size()));
    benchmark::DoNotOptimize(levels);
  });
}
BENCHMARK(measure_block);

void read_levels(benchmark::State& state) {
  sound_levels levels;
  levels.add(sine_block(-6.0).constData(), size_t(block_frames * sound_levels::frame_bytes));
  timed(state, [&] { benchmark::DoNotOptimize(levels.levels()); });
}
BENCHMARK(read_levels);

// The meters at the window's width, lit (0: a -1 dBFS sine after a clip)
// or silent (1: "no sound" on both bars).
struct painted_meters {
  sound_meters meters;
  QImage image;
  explicit painted_meters(bool lit) {
    meters.resize(window_width, sound_meters::fixed_height);
    image = QImage(meters.size(), QImage::Format_ARGB32_Premultiplied);
    if (lit) {
      meters.take_sound(sine_block(0.0));
      for (int b = 1; b < 20; ++b) meters.take_sound(sine_block(-1.0, int64_t(b) * block_frames));
    }
    meters.refresh();
    meters.render(&image);  // the scale is drawn at the first paint
  }
};

void paint(benchmark::State& state) {
  painted_meters painted(state.range(0) == 0);
  timed(state, [&] {
    painted.meters.render(&painted.image);
    benchmark::DoNotOptimize(painted.image.constBits());
  });
}
BENCHMARK(paint)->Arg(0)->Arg(1)->ArgName("silent");

// What one update costs: a block in, the timer's look, one paint.
void block_look_and_paint(benchmark::State& state) {
  painted_meters painted(true);
  const QByteArray blocks[] = {sine_block(-1.0), sine_block(-20.0)};
  int n = 0;
  timed(state, [&] {
    painted.meters.take_sound(blocks[++n & 1]);
    painted.meters.refresh();
    painted.meters.render(&painted.image);
    benchmark::DoNotOptimize(painted.image.constBits());
  });
}
BENCHMARK(block_look_and_paint);

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
