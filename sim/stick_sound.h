// The stick's sound: what its AC'97 codec hears on the line input, played
// into a PulseAudio sink (with_pulse.sh's "stick_feed", whose monitor the
// sound server lists as the stick's input).
//
// A steady 1000 Hz tone at -12 dBFS, with a 1 ms full-scale click at the
// moment each field carrying the picture's sync mark starts on the bus. The
// codec's crystal is not the video decoder's: the sound keeps real time
// (CLOCK_MONOTONIC), the picture keeps the field clock, which the adapters
// can make run fast or slow. A recording that keeps the two together shows
// each click at a constant distance from its mark.
//
// The adapters learn of a mark only once they have produced its packet, a
// little after it was on the bus, so the sound is made a fixed delay behind
// real time and written a little ahead of the server. The clicks therefore
// reach the sink a constant time (delay + lead) after their marks; only the
// spread of that time tells anything about a recording.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The sound itself, sample by sample, without a sound server. Sample i is
// the codec's sample at origin + i / rate. Not thread-safe.
class sound_track {
 public:
  static constexpr int rate = 48000;
  static constexpr int channels = 2;
  static constexpr int tone_period = 48;      // 1000 Hz: whole samples
  static constexpr int16_t tone_peak = 8192;  // -12 dBFS
  static constexpr int click_length = 48;     // 1 ms: full scale up, then down
  static constexpr int16_t click_peak = 32767;

  explicit sound_track(int64_t origin_ns) : origin_ns_(origin_ns) {}

  // The sample that begins nearest to t, and when sample i begins.
  int64_t sample_at(int64_t t_ns) const;
  int64_t time_of(int64_t sample) const;
  // A click starting at the sample of t. False, and counted, when that
  // sample has been rendered already.
  bool add_click(int64_t t_ns);
  // The next `frames` stereo frames, interleaved.
  void render(int16_t* out, size_t frames);
  // Samples rendered so far: the index of the next one.
  int64_t position() const { return position_; }
  uint64_t clicks() const { return clicks_; }
  uint64_t late_clicks() const { return late_; }

  // The tone alone, from sample `first` on (phase follows the index).
  static void tone(int16_t* out, size_t frames, int64_t first);

 private:
  int64_t origin_ns_;
  int64_t position_ = 0;
  std::vector<int64_t> pending_;  // click starts, sorted
  uint64_t clicks_ = 0;
  uint64_t late_ = 0;
};

// The sound track played into a sink in real time, on a thread of its own.
class stick_sound {
 public:
  using clock = std::chrono::steady_clock;

  struct options {
    std::string sink = "stick_feed";
    // How far behind real time the sound is made: longer than the adapters
    // take to learn of a mark.
    int delay_ms = 120;
    // How far the writes stay ahead of the sink: a thread that sleeps
    // longer leaves a gap of silence, but no later sound moves.
    int lead_ms = 100;
  };

  // Connects to the sound server and starts playing; a sink that was idle
  // may take up to two seconds to start taking sound. Null, with a message
  // in *error, when the stream cannot be made.
  static std::unique_ptr<stick_sound> start(const options& opts, std::string* error);
  ~stick_sound();  // stops
  stick_sound(const stick_sound&) = delete;
  stick_sound& operator=(const stick_sound&) = delete;

  // A field carrying the sync mark started on the bus at t. Any thread.
  void mark(clock::time_point t);
  void mark_ns(int64_t monotonic_ns);

  // Stops playing and lets go of the server; the destructor does it too.
  void stop();

  struct counts {
    uint64_t clicks = 0;  // placed in the sound
    uint64_t late = 0;    // came after their sample was written: left out
    bool failed = false;  // the server went away
  };
  counts stats() const;

 private:
  struct stream;
  stick_sound(const options& opts, std::unique_ptr<stream> s, int64_t origin_ns);
  void run();

  const options options_;
  std::unique_ptr<stream> stream_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool failed_ = false;
  sound_track track_;
  std::thread thread_;
};
