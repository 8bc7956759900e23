// Capture and render threads driven by the unpaced virtual stick: fields per
// second from the stick to field_rendered(bool), end to end. Real time is 50
// (PAL) or 59.94 fields a second.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <memory>
#include <vector>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "tests/support/rendering_capture.h"

namespace {

void capture_and_render(benchmark::State& state) {
  const bool sixty_hz = state.range(0) != 0;
  const bool interlaced = state.range(1) != 0;
  double fields_per_second = 0, assembled_per_second = 0, lost = 0;
  for (auto _ : state) {
    auto stick = std::make_shared<virtual_stick>();
    in_process_backend backend;
    backend.add(stick);
    rendering_capture thread;
    thread.set_usb_backend(&backend);
    thread.set_settings(capture_settings::for_standard(sixty_hz ? video_standard::ntsc : video_standard::pal));
    thread.renderer.set_display_mode(interlaced ? display_mode::interlaced : display_mode::f1);
    thread.start_capture();
    if (!QTest::qWaitFor([&] { return thread.renderer.rendered_fields() >= 1; }, 10000))
      state.SkipWithError("no field");
    const uint32_t rendered0 = thread.renderer.rendered_fields();
    const uint32_t assembled0 = thread.assembled_fields();
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(2000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    fields_per_second = (thread.renderer.rendered_fields() - rendered0) / seconds;
    assembled_per_second = (thread.assembled_fields() - assembled0) / seconds;
    lost = thread.lost_fields();
    thread.request_close();
    thread.wait();
  }
  state.counters["rendered_fields/s"] = fields_per_second;
  state.counters["assembled_fields/s"] = assembled_per_second;
  state.counters["x_real_time"] = fields_per_second / (sixty_hz ? 59.94 : 50.0);
  state.counters["render_drops"] = lost;
}
BENCHMARK(capture_and_render)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->ArgNames({"sixty_hz", "interlaced"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
