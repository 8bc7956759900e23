// What reading the decoder's status costs the capture thread: the time from
// a field's last packet on the bus to its hand-off, with the status read at
// its usual period (500 ms), never, and after every reaped transfer (the
// read's cost made plain), on the paced in-process stick (real time). Also
// the time one status read takes.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTest>
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "base/stopwatch.h"
#include "capture/capture_thread.h"
#include "capture/device_registers.h"
#include "sim/in_process_backend.h"
#include "tests/support/capture_probe.h"

namespace {

// Takes the fields' hand-off latencies.
struct latency_sink : field_sink {
  std::mutex mutex;
  std::vector<double> latencies_ms;
  void stream_starting(const field_geometry&) override {}
  void take_field(bool, const unsigned char*, size_t, int64_t arrival_ns, uint64_t) override {
    const double ms = double(steady_clock_ns() - arrival_ns) / 1e6;
    std::lock_guard lock(mutex);
    latencies_ms.push_back(ms);
  }
  void capture_ended() override {}
  uint32_t fields_dropped() const override { return 0; }
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

void reap_to_hand_off(benchmark::State& state) {
  const int period_ms = int(state.range(0));
  latency_sink sink;
  uint32_t lost = 0;
  for (auto _ : state) {
    auto stick = std::make_shared<virtual_stick>();
    in_process_backend backend;
    backend.set_paced(true);
    backend.add(stick);
    capture_thread thread;
    thread.set_usb_backend(&backend);
    thread.set_field_sink(&sink);
    capture_probe::set_status_period(thread, period_ms);
    thread.start_capture();
    if (!QTest::qWaitFor([&] { return thread.assembled_fields() >= 10; }, 10000)) state.SkipWithError("no field");
    {
      std::lock_guard lock(sink.mutex);
      sink.latencies_ms.clear();
    }
    QTest::qWait(10000);
    lost = thread.lost_fields();
    thread.request_close();
    thread.wait();
  }
  std::lock_guard lock(sink.mutex);
  state.counters["fields"] = double(sink.latencies_ms.size());
  state.counters["median_ms"] = percentile(sink.latencies_ms, 0.5);
  state.counters["p99_ms"] = percentile(sink.latencies_ms, 0.99);
  state.counters["max_ms"] = percentile(sink.latencies_ms, 1.0);
  state.counters["fields_lost"] = lost;
}
// Period 0: never read; 1: after every transfer with data.
BENCHMARK(reap_to_hand_off)
    ->Arg(0)
    ->Arg(500)
    ->Arg(1)
    ->ArgName("status_period_ms")
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// One status read over the serial bus, start to byte.
void one_status_read(benchmark::State& state) {
  auto stick = std::make_shared<virtual_stick>();
  in_process_backend backend;
  backend.add(stick);
  stick_link link(&backend);
  if (!link.claim().claimed) {
    state.SkipWithError("no stick");
    return;
  }
  int failed = 0;
  for (auto _ : state)
    if (!link.read_decoder_register(easycap::decoder_status)) ++failed;
  state.counters["failed"] = failed;
}
BENCHMARK(one_status_read)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
