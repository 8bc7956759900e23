#include "record/sound_resampler.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr int half = sound_resampler::taps / 2;  // taps before and after a position
// Pass band to just below the Nyquist frequency: at a ratio this close to 1
// nothing audible folds back.
constexpr double cutoff = 0.95;
constexpr double kaiser_beta = 8.0;

double bessel_i0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// coefficients[p][k]: the weight of input sample (position - fraction) +
// (k - half + 1) for fraction p / phases; each phase sums to exactly 1.
struct kernel {
  std::array<std::array<float, sound_resampler::taps>, sound_resampler::phases + 1> coefficients;
  kernel() {
    const double pi = std::acos(-1.0);
    const double norm = bessel_i0(kaiser_beta);
    for (int p = 0; p <= sound_resampler::phases; ++p) {
      const double fraction = double(p) / sound_resampler::phases;
      std::array<double, sound_resampler::taps> w{};
      double sum = 0.0;
      for (int k = 0; k < sound_resampler::taps; ++k) {
        const double x = double(k - half + 1) - fraction;  // distance from the position
        const double sinc = x == 0.0 ? 1.0 : std::sin(pi * cutoff * x) / (pi * cutoff * x);
        const double r = x / half;
        const double window = std::abs(r) >= 1.0 ? 0.0 : bessel_i0(kaiser_beta * std::sqrt(1.0 - r * r)) / norm;
        w[size_t(k)] = sinc * window;
        sum += w[size_t(k)];
      }
      for (int k = 0; k < sound_resampler::taps; ++k) coefficients[size_t(p)][size_t(k)] = float(w[size_t(k)] / sum);
    }
  }
};

const kernel& the_kernel() {
  static const kernel k;
  return k;
}

}  // namespace

sound_resampler::sound_resampler(int channels) : channels_(channels) { the_kernel(); }

void sound_resampler::set_ratio(double ratio) {
  if (ratio > 0.0) step_ = 1.0 / ratio;
}

double sound_resampler::next_output_position() const {
  // Output produced_ is taken at whole_ + fraction_; input consumed_ comes
  // out (consumed_ - that) / step_ outputs later.
  return double(produced_) + (double(consumed_ - whole_) - fraction_) / step_;
}

int64_t sound_resampler::push(const int16_t* in, int64_t frames, std::vector<int16_t>* out) {
  if (frames <= 0) return 0;
  if (!in) counting_ = true;
  if (!counting_) history_.insert(history_.end(), in, in + frames * channels_);
  consumed_ += frames;
  // An output sample needs the taps after its position.
  const int64_t made = produce(consumed_ - half, counting_ ? nullptr : out);
  drop_history();
  return made;
}

int64_t sound_resampler::flush(std::vector<int16_t>* out) {
  // Silence after the end, for the taps that reach past it.
  const int64_t end = consumed_;
  if (!counting_) history_.insert(history_.end(), size_t(half * channels_), int16_t(0));
  const int64_t made = produce(end, counting_ ? nullptr : out);
  if (!counting_) history_.resize(history_.size() - size_t(half * channels_));
  return made;
}

// Produces every output sample whose position lies before available_end.
int64_t sound_resampler::produce(int64_t available_end, std::vector<int16_t>* out) {
  int64_t made = 0;
  if (step_ == 1.0 && fraction_ == 0.0) {
    // Whole positions at the ratio 1: the input itself.
    const int64_t n = std::max<int64_t>(0, available_end - whole_);
    if (out && n > 0) {
      const auto first = history_.begin() + (whole_ - history_start_) * channels_;
      out->insert(out->end(), first, first + n * channels_);
    }
    whole_ += n;
    produced_ += n;
    return n;
  }
  if (!out) {
    // Counting: as many steps as fit, at once.
    const double room = double(available_end - whole_) - fraction_;
    if (room <= 0.0) return 0;
    made = int64_t(std::ceil(room / step_));
    const double position = fraction_ + double(made) * step_;
    const double whole = std::floor(position);
    whole_ += int64_t(whole);
    fraction_ = position - whole;
    produced_ += made;
    return made;
  }
  std::vector<int16_t> sample(size_t(channels_), 0);
  while (whole_ < available_end) {
    interpolate(whole_, fraction_, sample.data());
    out->insert(out->end(), sample.begin(), sample.end());
    ++made;
    fraction_ += step_;
    const double whole = std::floor(fraction_);
    whole_ += int64_t(whole);
    fraction_ -= whole;
  }
  produced_ += made;
  return made;
}

void sound_resampler::interpolate(int64_t index, double fraction, int16_t* out) const {
  const kernel& k = the_kernel();
  const double phase = fraction * phases;
  const int p = std::min(int(phase), phases - 1);
  const float t = float(phase - p);
  const auto& a = k.coefficients[size_t(p)];
  const auto& b = k.coefficients[size_t(p) + 1];
  const int64_t first = index - half + 1;
  for (int c = 0; c < channels_; ++c) {
    float sum = 0.0f;
    for (int tap = 0; tap < taps; ++tap) {
      const int64_t at = first + tap;
      // Before the first sample there was silence.
      if (at < history_start_) continue;
      const float weight = a[size_t(tap)] + (b[size_t(tap)] - a[size_t(tap)]) * t;
      sum += weight * float(history_[size_t((at - history_start_) * channels_ + c)]);
    }
    out[c] = int16_t(std::lround(std::clamp(sum, -32768.0f, 32767.0f)));
  }
}

void sound_resampler::drop_history() {
  if (counting_) {
    history_.clear();
    history_start_ = consumed_;
    return;
  }
  // Keep the taps before the next position.
  const int64_t keep_from = whole_ - half;
  if (keep_from - history_start_ < 4096) return;
  history_.erase(history_.begin(), history_.begin() + (keep_from - history_start_) * channels_);
  history_start_ = keep_from;
}
