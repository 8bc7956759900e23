#include "record/sound_sync.h"

#include <algorithm>
#include <cmath>

clock_line::clock_line(double nominal_period, double memory_seconds)
    : nominal_(nominal_period), memory_(memory_seconds) {}

bool clock_line::have_line() const {
  // Enough points and spread for a slope.
  return count_ >= 3 && w_ * spp_ - sp_ * sp_ > 0.0;
}

bool clock_line::ready() const { return have_line() && span() >= ready_seconds; }

double clock_line::period() const {
  if (!have_line()) return nominal_;
  // No crystal is off by more than this; a steeper line is the delays
  // settling (a sound server after its start), not a clock.
  // About the points' centre: sxx, the spread of the positions, and sxy.
  const double sxx = spp_ - sp_ * sp_ / w_;
  const double sxy = spt_ - sp_ * st_ / w_;
  // A clock believed close to nominal before it is seen: as if prior_seconds
  // of arrivals, one a second, had lain on the nominal line. Worth much at
  // first and nothing after a minute.
  const double prior_span = prior_seconds / nominal_;
  const double prior = prior_span * prior_span * prior_seconds / 12.0;
  const double fitted = (sxy + prior * nominal_) / (sxx + prior);
  return std::clamp(fitted, nominal_ * (1.0 - max_ppm * 1e-6), nominal_ * (1.0 + max_ppm * 1e-6));
}

double clock_line::time_at(double position) const {
  if (!have_line()) return origin_t_;
  const double b = period();
  const double a = (st_ - b * sp_) / w_;
  return origin_t_ + a + b * (position - origin_p_);
}

double clock_line::position_at(double time) const {
  if (!have_line()) return origin_p_;
  const double b = period();
  const double a = (st_ - b * sp_) / w_;
  return origin_p_ + (time - origin_t_ - a) / b;
}

void clock_line::decay_to(double time) {
  if (time <= last_time_) return;
  const double f = std::exp(-(time - last_time_) / memory_);
  w_ *= f;
  sp_ *= f;
  st_ *= f;
  spp_ *= f;
  spt_ *= f;
}

void clock_line::move_origin(double position, double time) {
  // The sums about a new origin (dp, dt from the old one): keeps them
  // small, so hours of positions lose no precision.
  const double dp = position - origin_p_, dt = time - origin_t_;
  spp_ += -2.0 * dp * sp_ + w_ * dp * dp;
  spt_ += -dp * st_ - dt * sp_ + w_ * dp * dt;
  sp_ -= w_ * dp;
  st_ -= w_ * dt;
  origin_p_ = position;
  origin_t_ = time;
}

void clock_line::take(double position, double time) {
  if (count_ == 0) {
    origin_p_ = position;
    origin_t_ = time;
    first_time_ = last_time_ = time;
  }
  decay_to(time);
  move_origin(position, time);
  w_ += 1.0;  // the new point sits at the origin
  ++count_;
  last_time_ = std::max(last_time_, time);
}

void clock_line::collect(double position, double time) {
  if (bin_open_ && time - bin_start_ >= bin_seconds) {
    bin_open_ = false;
    // A second in which everything came late (a busy thread, a burst) is
    // no sign of the clock, unless the stream stays there.
    const bool late = have_line() && best_time_ - time_at(best_position_) > late_seconds;
    if (late && ++late_bins_ <= late_bins_allowed) return collect(position, time);
    late_bins_ = 0;
    take(best_position_, best_time_);
  }
  // Ranked by their delay against a line of the nominal period: over a
  // second the period's error does not matter.
  if (!bin_open_ || time - position * nominal_ < best_time_ - best_position_ * nominal_) {
    if (!bin_open_) bin_start_ = time;
    bin_open_ = true;
    best_position_ = position;
    best_time_ = time;
  }
}

clock_line::verdict clock_line::add(double position, double time) {
  if (!have_line()) {
    collect(position, time);
    return verdict::used;
  }
  const double residual = time - time_at(position);
  if (residual <= jump_seconds && residual >= -early_seconds) {
    // Held ones that the stream came back from were late, not a jump.
    held_.clear();
    collect(position, time);
    return verdict::used;
  }
  held_.push_back({position, time, residual});
  if (held_.back().time - held_.front().time < confirm_seconds || held_.size() < 3) return verdict::held;
  // Off the line for long enough: if the held ones agree, the stream moved.
  std::vector<double> residuals;
  for (const observation& o : held_) residuals.push_back(o.residual);
  std::nth_element(residuals.begin(), residuals.begin() + residuals.size() / 2, residuals.end());
  const double median = residuals[residuals.size() / 2];
  const bool agree = std::all_of(held_.begin(), held_.end(),
                                 [&](const observation& o) { return std::abs(o.residual - median) <= jump_seconds; });
  if (!agree) {
    // Still moving: judge on the newer ones.
    held_.erase(held_.begin());
    return verdict::held;
  }
  // Every earlier second moves by the jump, to run under the held ones
  // (their least delayed); the second being collected is dropped.
  double jump = held_.front().residual;
  for (const observation& o : held_) jump = std::min(jump, o.residual);
  st_ += w_ * jump;
  spt_ += sp_ * jump;
  last_jump_ = jump;
  bin_open_ = false;
  std::vector<observation> held;
  held.swap(held_);
  for (const observation& o : held) collect(o.position, o.time);
  return verdict::jumped;
}

sound_sync::sound_sync(double samples_per_frame, double sample_rate)
    : samples_per_frame_(samples_per_frame),
      rate_(sample_rate),
      picture_line_(samples_per_frame / sample_rate),
      sound_line_(1.0 / sample_rate) {
  // The sound comes at the pace of the USB bus (the stick's codec follows
  // the host's frames) or of a sound card's crystal: tens of ppm from the
  // computer's clock at most. Its arrivals carry the sound server's jitter,
  // which in the first seconds reads as a clock far off; the picture's
  // arrivals are timed by the capture thread at real-time priority and
  // follow the tape's clock, which may be off by much more.
  sound_line_.prior_seconds = 10.0;
}

void sound_sync::picture(int64_t position, double time) {
  if (picture_line_.add(double(position), time) == clock_line::verdict::jumped) ++picture_jumps;
}

void sound_sync::sound(int64_t position, double time) {
  if (sound_line_.add(double(position), time) == clock_line::verdict::jumped) ++sound_jumps;
}

double sound_sync::target(double consumed) const {
  return samples_per_frame_ * picture_line_.position_at(sound_line_.time_at(consumed)) + phase_;
}

double sound_sync::clock_difference_ppm() const {
  if (!picture_line_.ready() || !sound_line_.ready()) return 0.0;
  const double samples_per_frame = picture_line_.period() / sound_line_.period();
  return (samples_per_frame / samples_per_frame_ - 1.0) * 1e6;
}

sound_sync::step sound_sync::plan(int64_t consumed, int64_t produced) {
  step s;
  s.distance = int(rate_);
  if (!first_seen_) {
    first_seen_ = true;
    first_consumed_ = consumed;
    first_produced_ = produced;
  }
  if (!started_ && (!picture_line_.ready() || !sound_line_.ready())) return s;
  // The offset the recording started with, as the lines place its first
  // sample: learnt while the lines are young and still straight back to the
  // start, then kept.
  const bool learning = !started_ || (sound_line_.span() < learn_seconds && picture_line_.span() < learn_seconds &&
                                      sound_jumps == 0 && picture_jumps == 0);
  if (learning) {
    phase_ = 0.0;
    phase_ = double(first_produced_) - target(double(first_consumed_));
  }
  started_ = true;
  double error = target(double(consumed)) - double(produced);
  const double guard = guard_seconds * rate_;
  if (std::abs(error) <= guard) {
    beyond_guard_since_ = -1;
  } else if (beyond_guard_since_ < 0) {
    beyond_guard_since_ = consumed;
  }
  // Until it has stayed there a while, only the resampling works on it.
  const bool held = beyond_guard_since_ >= 0 && double(consumed - beyond_guard_since_) >= guard_hold_seconds * rate_;
  if (held && error > guard) {
    // The sound lost a stretch (or the pictures jumped ahead): silence in
    // its place, once.
    s.silence = std::llround(error);
    ++silences;
    silence_samples += s.silence;
    error = 0.0;
  } else if (held && error < -guard) {
    // More sound than time for it: the surplus goes.
    s.cut = std::llround(-error);
    ++cuts;
    cut_samples += s.cut;
    error = target(double(consumed + s.cut)) - double(produced);
  }
  if (held) beyond_guard_since_ = -1;
  // The clocks' ratio for the next second, and the offset taken back over
  // settle_seconds.
  const double at = double(consumed + s.cut);
  const double rate_ratio = (target(at + rate_) - target(at)) / rate_;
  const double wanted = (rate_ratio - 1.0) * rate_ + error / settle_seconds;
  const double limit = max_ppm * 1e-6 * rate_;
  s.delta = int(std::lround(std::clamp(wanted, -limit, limit)));
  return s;
}

sound_path::sound_path(double samples_per_frame, double sample_rate) : sync(samples_per_frame, sample_rate) {}

void sound_path::take(const int16_t* samples, int64_t frames, std::vector<int16_t>* out) {
  // Planned in pieces of about 5 ms, so the rate follows the clocks closely.
  constexpr int64_t piece = 256;
  for (int64_t done = 0; done < frames;) {
    const sound_sync::step s = sync.plan(consumed(), std::llround(next_output()));
    pad(s.silence, out);
    cut_owed_ += s.cut;
    int64_t n = std::min(piece, frames - done);
    const int64_t cut = std::min(cut_owed_, n);
    cut_owed_ -= cut;
    cut_done_ += cut;
    done += cut;
    n -= cut;
    if (n > 0) {
      resampler_.set_ratio(1.0 + double(s.delta) / s.distance);
      resampler_.push(samples ? samples + done * 2 : nullptr, n, samples ? out : nullptr);
      done += n;
    }
  }
}

void sound_path::add_silence(int64_t frames, std::vector<int16_t>* out) {
  if (frames <= 0) return;
  pad(frames, out);
  missing_samples += frames;
}

void sound_path::pad(int64_t frames, std::vector<int16_t>* out) {
  if (frames <= 0) return;
  if (out) out->insert(out->end(), size_t(frames * 2), int16_t(0));
  silence_ += frames;
}

void sound_path::finish(std::vector<int16_t>* out) { resampler_.flush(out); }
