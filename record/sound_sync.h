// Keeps a recording's sound in its place against the picture.
//
// The sound comes from one clock (the stick's codec or the computer's
// line-in), the picture from another (the decoder, which follows the tape);
// they differ by tens to hundreds of parts per million, so sound written as
// it comes slides away from the picture: 180 ms in ten minutes at 300 ppm.
//
// Both clocks are watched against the computer's: every frame written and
// every block of sound handed over is an observation (its position in its
// own stream, the time it arrived). A straight line through each stream's
// recent observations smooths away the arrival jitter and gives, for any
// sample of sound, the picture position that was current when it was
// captured. The sound is then resampled, by a few hundred ppm at most, so
// that every sample lands in the file where that picture position puts it,
// with the offset the recording started with.
//
// Jumps no clock error makes (a sound server that stalled and lost what it
// would have delivered, frames thrown away from a full queue, sound from a
// device that was changed) are not resampled away: they are seen as a
// stream that moved off its line and stays there, and the sound is cut or
// padded with silence once, by the size of the jump.
//
// Nothing here waits or reads a clock: times are given in, so the whole
// thing runs in simulated time as well as in a recording.
#pragma once

#include <cstdint>
#include <vector>

// A straight line time = a + b * position through (position, time)
// observations of one stream. The position is exact (samples, frames); the
// time carries the delay of the way the data came, which is never less than
// the pipeline's shortest but often more, by a few to tens of ms, and whose
// spread changes (a sound server settles its buffers for several seconds
// after a start). So the line is drawn under the arrivals, not through
// them: from each second only the least delayed observation counts. Older
// seconds weigh less, so the line follows a clock that wanders slowly.
class clock_line {
 public:
  // nominal_period: seconds per unit of position, roughly; it only ranks
  // the observations of a second against each other.
  explicit clock_line(double nominal_period, double memory_seconds = 60.0);

  // What add() made of an observation.
  enum class verdict { used, held, jumped };
  // An observation more than `jump_seconds` after the line, or more than
  // `early_seconds` before it, is held back (the line runs under the
  // arrivals, so coming late is common and coming early is not);
  // once such observations agree with each other for `confirm_seconds`,
  // the stream has jumped: the line moves to them and add() says so,
  // with the size of the move in last_jump(). One that fits the line again
  // lets the held ones go (a late burst, not a jump).
  verdict add(double position, double time);

  // Seen for long enough to be trusted.
  bool ready() const;
  // When the sample or frame at `position` arrived, on the line.
  double time_at(double position) const;
  // The position the stream had reached at `time`, on the line.
  double position_at(double time) const;
  // Seconds per unit of position.
  double period() const;
  // Seconds from the first observation to the last taken.
  double span() const { return count_ > 0 ? last_time_ - first_time_ : 0.0; }
  // Seconds the last jump moved the stream's times (positive: later).
  double last_jump() const { return last_jump_; }

  double jump_seconds = 0.1;
  double early_seconds = 0.1;
  double confirm_seconds = 0.3;
  double ready_seconds = 2.5;
  double bin_seconds = 1.0;
  // A second whose least delayed observation is this much above the line
  // is left out, up to so many in a row.
  double late_seconds = 0.004;
  int late_bins_allowed = 4;
  // The most a clock is taken to be off its nominal period.
  double max_ppm = 1500.0;
  // How strongly the clock is believed to run at its nominal period before
  // it is seen: as much as this many seconds of arrivals would say (0: not
  // at all).
  double prior_seconds = 0.0;

 private:
  void collect(double position, double time);
  void take(double position, double time);
  void decay_to(double time);
  void move_origin(double position, double time);
  bool have_line() const;

  double nominal_;
  double memory_;
  // The least delayed observation of the second being collected.
  bool bin_open_ = false;
  int late_bins_ = 0;
  double bin_start_ = 0, best_position_ = 0, best_time_ = 0;
  // Weighted sums of (position - origin_p) and (time - origin_t).
  double w_ = 0, sp_ = 0, st_ = 0, spp_ = 0, spt_ = 0;
  double origin_p_ = 0, origin_t_ = 0;
  double last_time_ = 0;
  double first_time_ = 0;
  int count_ = 0;  // seconds taken
  struct observation {
    double position, time, residual;
  };
  std::vector<observation> held_;
  double last_jump_ = 0;
};

class sound_sync {
 public:
  // samples_per_frame: sound samples a frame lasts (1920 at 25 frames a
  // second, 1601.6 at 30000/1001).
  explicit sound_sync(double samples_per_frame, double sample_rate = 48000.0);

  // The frame at `position` in the recording's picture (frames written
  // before it, repeats included) arrived at `time` (seconds).
  void picture(int64_t position, double time);
  // The sound through sample `position` (samples handed over in this
  // recording) had arrived at `time`.
  void sound(int64_t position, double time);

  // What to do before the next block of sound goes to the resampler.
  struct step {
    int64_t silence = 0;  // samples of silence to write first
    int64_t cut = 0;      // samples of the coming sound to throw away
    // Resample the coming sound so that `distance` samples in give
    // `distance + delta` samples out.
    int delta = 0;
    int distance = 48000;
  };
  // consumed: samples of sound taken so far (resampled or cut); produced:
  // where the next of them will come out (samples written, waiting, and
  // held inside the resampler, silence included).
  step plan(int64_t consumed, int64_t produced);

  // The picture's clock, once known: the position of the frame arriving
  // at `time`.
  bool picture_known() const { return picture_line_.ready(); }
  double picture_position_at(double time) const { return picture_line_.position_at(time); }

  // The sound's clock against the picture's, in ppm: positive when the
  // sound runs fast. 0 until both are known.
  double clock_difference_ppm() const;
  bool tracking() const { return started_; }
  // Guard actions: how often, and how many samples.
  int64_t silences = 0, silence_samples = 0;
  int64_t cuts = 0, cut_samples = 0;
  // Jumps seen on each stream.
  int64_t sound_jumps = 0, picture_jumps = 0;

  // An offset beyond this for `guard_hold_seconds` of sound is corrected
  // at once, not by resampling: a jump, not the jitter of a busy machine.
  double guard_seconds = 0.05;
  double guard_hold_seconds = 1.0;
  // Seconds over which an offset is taken back by resampling.
  double settle_seconds = 10.0;
  // The most the resampling changes the rate by, in ppm (2000: 3.5 cents).
  double max_ppm = 2000.0;
  // For so long the offset at the start is learnt again as the lines firm up.
  double learn_seconds = 30.0;

 private:
  double target(double consumed) const;

  double samples_per_frame_;
  double rate_;
  clock_line picture_line_;
  clock_line sound_line_;
  bool started_ = false;
  bool first_seen_ = false;
  int64_t first_consumed_ = 0, first_produced_ = 0;
  double phase_ = 0;                 // produced - picture position in samples, kept
  int64_t beyond_guard_since_ = -1;  // consumed when the offset went beyond the guard
};

#include "record/sound_resampler.h"

// The recording's sound on its way to the file: what sound_sync plans,
// done to the sound as it is taken. Output goes to a buffer of interleaved
// stereo samples (null to count only, for simulated time).
class sound_path {
 public:
  explicit sound_path(double samples_per_frame, double sample_rate = 48000.0);

  sound_sync sync;

  // Takes `frames` frames of sound (null: count only).
  void take(const int16_t* samples, int64_t frames, std::vector<int16_t>* out);
  // Sound that was lost before it could be taken (a full queue): counted as
  // taken, so the sync sees the gap.
  void skip(int64_t frames) { cut_done_ += frames; }
  // Silence for time no sound came for at all.
  void add_silence(int64_t frames, std::vector<int16_t>* out);
  // What the resampler still holds, at the end.
  void finish(std::vector<int16_t>* out);

  // Sound taken (cut included) and where the next of it will come out.
  int64_t consumed() const { return resampler_.consumed() + cut_done_; }
  double next_output() const { return resampler_.next_output_position() + double(silence_); }
  // Silence added for sound that never came (not the sync's own).
  int64_t missing_samples = 0;

 private:
  void pad(int64_t frames, std::vector<int16_t>* out);

  sound_resampler resampler_;
  int64_t cut_owed_ = 0;
  int64_t cut_done_ = 0;
  int64_t silence_ = 0;
};
