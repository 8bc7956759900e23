#include "sim/stick_sound.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "base/realtime_scheduling.h"

namespace {

constexpr double pi = 3.14159265358979323846;

// One period of the tone.
const std::array<int16_t, sound_track::tone_period>& tone_table() {
  static const auto table = [] {
    std::array<int16_t, sound_track::tone_period> t{};
    for (int i = 0; i < sound_track::tone_period; ++i)
      t[size_t(i)] = int16_t(std::lround(sound_track::tone_peak * std::sin(2 * pi * i / sound_track::tone_period)));
    return t;
  }();
  return table;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(stick_sound::clock::now().time_since_epoch()).count();
}

}  // namespace

int64_t sound_track::sample_at(int64_t t_ns) const { return std::llround(double(t_ns - origin_ns_) * (rate / 1e9)); }

int64_t sound_track::time_of(int64_t sample) const { return origin_ns_ + std::llround(double(sample) * (1e9 / rate)); }

bool sound_track::add_click(int64_t t_ns) {
  const int64_t sample = sample_at(t_ns);
  if (sample < position_) {
    ++late_;
    return false;
  }
  pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), sample), sample);
  ++clicks_;
  return true;
}

void sound_track::tone(int16_t* out, size_t frames, int64_t first) {
  const auto& table = tone_table();
  int64_t phase = first % tone_period;
  if (phase < 0) phase += tone_period;
  for (size_t i = 0; i < frames; ++i) {
    const int16_t v = table[size_t(phase)];
    out[2 * i] = v;
    out[2 * i + 1] = v;
    if (++phase == tone_period) phase = 0;
  }
}

void sound_track::render(int16_t* out, size_t frames) {
  const int64_t begin = position_, end = position_ + int64_t(frames);
  tone(out, frames, begin);
  // Clicks replace the tone where they fall; one may straddle two calls.
  size_t done = 0;
  for (int64_t start : pending_) {
    if (start >= end) break;
    for (int64_t i = std::max(start, begin); i < std::min(start + click_length, end); ++i) {
      const int16_t v = i - start < click_length / 2 ? click_peak : int16_t(-click_peak);
      out[2 * (i - begin)] = v;
      out[2 * (i - begin) + 1] = v;
    }
    if (start + click_length <= end) ++done;
  }
  pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(done));
  position_ = end;
}

struct stick_sound::stream {
  pa_simple* pa = nullptr;
  ~stream() {
    if (pa) pa_simple_free(pa);
  }
};

std::unique_ptr<stick_sound> stick_sound::start(const options& opts, std::string* error) {
  const pa_sample_spec format{PA_SAMPLE_S16LE, uint32_t(sound_track::rate), uint8_t(sound_track::channels)};
  const size_t bytes_per_ms = size_t(sound_track::rate / 1000 * sound_track::channels * 2);
  pa_buffer_attr attr{};
  attr.maxlength = uint32_t(-1);
  // The server splits this between the sink and the stream's queue: the
  // sink takes a sample well within the lead, so a writer on time never
  // leaves it waiting.
  attr.tlength = uint32_t(bytes_per_ms * size_t(opts.lead_ms + 100));
  // No prebuffering: the stream plays from the start and, should the
  // writer ever fall behind, plays silence and drops what came too late,
  // so every later sample still sounds at its time.
  attr.prebuf = 0;
  attr.minreq = uint32_t(-1);
  attr.fragsize = uint32_t(-1);
  int pa_error = 0;
  auto s = std::make_unique<stream>();
  s->pa =
      pa_simple_new(nullptr, "ostrevin-virtual-stick", PA_STREAM_PLAYBACK,
                    opts.sink.empty() ? nullptr : opts.sink.c_str(), "stick sound", &format, nullptr, &attr, &pa_error);
  if (!s->pa) {
    if (error) *error = "cannot play into sink '" + opts.sink + "': " + pa_strerror(pa_error);
    return nullptr;
  }
  // The lead-in, the tone for the delay and the lead. A sink nobody
  // listened to closely sleeps for up to its longest latency (2 s for a
  // null sink) before it takes anything, so the write may wait that long.
  const int lead_in_ms = opts.delay_ms + opts.lead_ms;
  const size_t lead_in = size_t(lead_in_ms) * size_t(sound_track::rate / 1000);
  std::vector<int16_t> samples(lead_in * sound_track::channels);
  sound_track::tone(samples.data(), lead_in, -int64_t(lead_in));
  if (pa_simple_write(s->pa, samples.data(), samples.size() * sizeof(int16_t), &pa_error) < 0) {
    if (error) *error = std::string("cannot write to the sound server: ") + pa_strerror(pa_error);
    return nullptr;
  }
  // The track's first sample follows the lead-in; it sounds once what the
  // server holds now has played. It is the codec's sample of delay + lead
  // before that.
  const pa_usec_t queued_us = pa_simple_get_latency(s->pa, &pa_error);
  if (queued_us == pa_usec_t(-1)) {
    if (error) *error = std::string("the sound server tells no latency: ") + pa_strerror(pa_error);
    return nullptr;
  }
  const int64_t origin = now_ns() + int64_t(queued_us) * 1000 - int64_t(lead_in_ms) * 1'000'000;
  return std::unique_ptr<stick_sound>(new stick_sound(opts, std::move(s), origin));
}

stick_sound::stick_sound(const options& opts, std::unique_ptr<stream> s, int64_t origin_ns)
    : options_(opts), stream_(std::move(s)), track_(origin_ns) {
  thread_ = std::thread([this] { run(); });
}

stick_sound::~stick_sound() { stop(); }

void stick_sound::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  stream_.reset();
}

void stick_sound::mark(clock::time_point t) {
  mark_ns(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

void stick_sound::mark_ns(int64_t monotonic_ns) {
  std::lock_guard lock(mutex_);
  track_.add_click(monotonic_ns);
}

stick_sound::counts stick_sound::stats() const {
  std::lock_guard lock(mutex_);
  return {track_.clicks(), track_.late_clicks(), failed_};
}

void stick_sound::run() {
  // The codec is hardware: its sound never waits for a busy computer. The
  // model's writer keeps ahead of the server where the desktop allows it,
  // or a late write would leave the server a gap no real stick makes.
  realtime::make_this_thread_realtime("virtual stick sound", realtime::capture_priority + 8);
  constexpr int64_t chunk = sound_track::rate / 100;  // 10 ms
  const auto delay = std::chrono::milliseconds(options_.delay_ms);
  std::vector<int16_t> samples(size_t(chunk) * sound_track::channels);
  std::unique_lock lock(mutex_);
  for (;;) {
    // The chunk is made once its last sample is `delay` in the past.
    const int64_t end = track_.position() + chunk;
    const auto ready = clock::time_point(std::chrono::nanoseconds(track_.time_of(end))) + delay;
    while (!stopping_ && clock::now() < ready) wake_.wait_until(lock, ready);
    if (stopping_) return;
    track_.render(samples.data(), size_t(chunk));
    lock.unlock();
    int pa_error = 0;
    const bool written = pa_simple_write(stream_->pa, samples.data(), samples.size() * sizeof(int16_t), &pa_error) >= 0;
    lock.lock();
    if (!written) {
      failed_ = true;
      return;
    }
  }
}
