// The virtual stick's own sound through a real sound server: the in-process
// adapter streams with its field clock fast, and the clicks that come out of
// the sink are as many samples apart as the sync marks were apart on the bus.
#include "sim/stick_sound.h"

#include <gtest/gtest.h>
#include <pulse/simple.h>

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/in_process_backend.h"
#include "tests/support/iso_stream.h"
#include "tests/support/pulse_probe.h"

namespace {

constexpr char test_sink[] = "stick_sound_test";

// Records a sink's monitor on a thread of its own until stopped.
class monitor_recorder {
 public:
  explicit monitor_recorder(const std::string& sink) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, 48000, 2};
    // Small fragments: what was played is here soon after.
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = 48 * 4 * 20;
    int error = 0;
    pa_ = pa_simple_new(nullptr, "stick sound test", PA_STREAM_RECORD, (sink + ".monitor").c_str(), "monitor", &format,
                        nullptr, &attr, &error);
    if (!pa_) return;
    thread_ = std::thread([this] {
      std::vector<int16_t> chunk(960);
      int error = 0;
      while (!stop_) {
        if (pa_simple_read(pa_, chunk.data(), chunk.size() * 2, &error) < 0) return;
        std::lock_guard lock(mutex_);
        samples_.insert(samples_.end(), chunk.begin(), chunk.end());
      }
    });
  }
  ~monitor_recorder() {
    stop();
    if (pa_) pa_simple_free(pa_);
  }
  bool ok() const { return pa_ != nullptr; }
  std::vector<int16_t> stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return samples_;
  }

 private:
  pa_simple* pa_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<int16_t> samples_;
};

// Frames where the left channel jumps above half scale out of 20 ms below it.
std::vector<int64_t> clicks_in(const std::vector<int16_t>& stereo) {
  std::vector<int64_t> clicks;
  int64_t last_loud = -100000;
  for (int64_t i = 0; i < int64_t(stereo.size() / 2); ++i) {
    if (std::abs(int(stereo[size_t(2 * i)])) < 16384) continue;
    if (i - last_loud > 960) clicks.push_back(i);
    last_loud = i;
  }
  return clicks;
}

TEST(stick_sound, clicks_reach_the_sink_as_far_apart_as_the_marks_on_the_bus) {
  if (!pulse_probe::server_available()) GTEST_SKIP() << "no test sound server (run under with_pulse.sh)";
  const QString module = pulse_probe::pactl(
      {"load-module", "module-null-sink", QString("sink_name=") + test_sink, "rate=48000", "channels=2"});
  ASSERT_FALSE(module.isNull());
  struct unload {
    int index;
    ~unload() { pulse_probe::unload_module(index); }
  } unload_sink{module.trimmed().toInt()};

  monitor_recorder recorder(test_sink);
  ASSERT_TRUE(recorder.ok());

  in_process_backend backend;
  backend.add(std::make_shared<virtual_stick>());
  backend.set_paced(true);
  backend.set_clock_ppm(1000);
  std::vector<int64_t> marks;  // told on this thread, which reaps
  backend.set_sync_mark_listener([&marks](std::chrono::steady_clock::time_point t) {
    marks.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
  });
  std::string error;
  ASSERT_TRUE(backend.play_sound(test_sink, &error)) << error;

  auto stream = std::make_unique<iso_stream>(backend);
  ASSERT_TRUE(stream->ok());
  // Three marks, then long enough for the last click to be played.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::chrono::steady_clock::time_point played_out{};
  while (std::chrono::steady_clock::now() < give_up) {
    if (marks.size() == 3 && played_out == std::chrono::steady_clock::time_point{})
      played_out = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    if (played_out != std::chrono::steady_clock::time_point{} && std::chrono::steady_clock::now() > played_out) break;
    ASSERT_TRUE(stream->transfer());
  }
  stream.reset();
  const std::vector<int16_t> heard = recorder.stop();
  backend.stop_sound();

  ASSERT_GE(marks.size(), 3u);
  const std::vector<int64_t> clicks = clicks_in(heard);
  ASSERT_GE(clicks.size(), 3u) << heard.size() / 2 << " frames heard, " << clicks.size() << " clicks";
  ASSERT_LE(clicks.size(), marks.size());
  // The clicks heard are the first marks' (the recording began before the
  // sound did); each one as far from the one before as its mark was.
  for (size_t i = 1; i < clicks.size(); ++i) {
    const double mark_samples = double(marks[i] - marks[i - 1]) * 48000 / 1e9;
    EXPECT_NEAR(double(clicks[i] - clicks[i - 1]), mark_samples, 1.0) << "click " << i;
  }
}

}  // namespace
