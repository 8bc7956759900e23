#include "audio/sound_levels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr double full_scale = 32768.0;

double to_dbfs(double amplitude) {
  if (amplitude <= 0.0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(amplitude / full_scale);
}

}  // namespace

sound_levels::sound_levels() = default;

void sound_levels::add(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (partial_size_ > 0) {
    const size_t take = std::min(size, size_t(frame_bytes - partial_size_));
    std::memcpy(partial_.data() + partial_size_, bytes, take);
    partial_size_ += int(take);
    bytes += take;
    size -= take;
    if (partial_size_ < frame_bytes) return;
    add_frames(partial_.data(), 1);
    partial_size_ = 0;
  }
  const size_t whole = size / frame_bytes;
  add_frames(bytes, whole);
  partial_size_ = int(size - whole * frame_bytes);
  if (partial_size_ > 0) std::memcpy(partial_.data(), bytes + whole * frame_bytes, size_t(partial_size_));
}

void sound_levels::add_frames(const unsigned char* frames, size_t count) {
  while (count > 0) {
    const size_t n = std::min(count, size_t(slice_frames - current_frames_));
    slice& s = slices_[size_t(current_)];
    for (int c = 0; c < channels; ++c) {
      const unsigned char* sample = frames + c * 2;
      int peak = s.peak[size_t(c)];
      int64_t squares = 0;
      for (size_t i = 0; i < n; ++i, sample += frame_bytes) {
        const int value = int16_t(uint16_t(sample[0] | sample[1] << 8));
        peak = std::max(peak, value < 0 ? -value : value);
        squares += int64_t(value) * value;
      }
      s.peak[size_t(c)] = peak;
      s.squares[size_t(c)] += squares;
      if (peak >= clip_sample) clipped_[size_t(c)] = true;
    }
    frames += n * frame_bytes;
    count -= n;
    current_frames_ += int(n);
    if (current_frames_ == slice_frames) {
      current_ = (current_ + 1) % kept_slices;
      slices_[size_t(current_)] = slice{};
      current_frames_ = 0;
      whole_slices_ = std::min(whole_slices_ + 1, kept_slices - 1);
    }
  }
}

void sound_levels::nothing_came() {
  slices_.fill(slice{});
  current_frames_ = 0;
  whole_slices_ = 0;
  // A partial frame stays: the bytes that follow it complete it.
}

void sound_levels::clear_clips() { clipped_.fill(false); }

sound_levels::reading sound_levels::levels() const {
  reading result{};
  for (int c = 0; c < channels; ++c) {
    int peak = 0, rms_peak = 0, hold = 0;
    int64_t squares = 0;
    // Newest first: the slice being filled, then the whole ones before it.
    for (int back = 0; back < kept_slices; ++back) {
      const slice& s = slices_[size_t((current_ - back + kept_slices) % kept_slices)];
      const int slice_peak = s.peak[size_t(c)];
      if (back < peak_slices) peak = std::max(peak, slice_peak);
      if (back < rms_slices) {
        rms_peak = std::max(rms_peak, slice_peak);
        squares += s.squares[size_t(c)];
      }
      hold = std::max(hold, slice_peak);
    }
    const int frames = current_frames_ + std::min(whole_slices_, rms_slices - 1) * slice_frames;
    channel_level& level = result[size_t(c)];
    level.peak_db = to_dbfs(peak);
    level.rms_db = frames > 0 ? to_dbfs(std::sqrt(double(squares) / frames)) : to_dbfs(0);
    level.hold_db = to_dbfs(hold);
    level.clipped = clipped_[size_t(c)];
    level.no_sound = !(to_dbfs(rms_peak) >= floor_db);
  }
  return result;
}
