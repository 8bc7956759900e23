#include "tests/support/synthetic_media.h"

#include <array>
#include <cstring>
#include <utility>

#include "record/recording_feed.h"

size_t frame_bytes(int field_lines) { return size_t(720) * 2 * size_t(field_lines) * 2; }

void draw_frame(uchar* frame, int number, int field_lines, bool noisy) {
  const int width = 720, height = 2 * field_lines;
  uchar* luma = frame;
  uchar* chroma = frame + size_t(width) * height;
  if (noisy) {
    uint64_t state = 0x9E3779B97F4A7C15ull * uint64_t(number + 1);
    for (size_t i = 0; i < frame_bytes(field_lines); i += sizeof state) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      std::memcpy(frame + i, &state, sizeof state);
    }
  } else {
    // Rows are windows into two ramps: luma x + 3y + 7n, chroma bands of 16
    // pixels, 128 + (x / 16 + row + n) % 64.
    static const auto ramps = [] {
      std::array<uchar, 2048> luma_ramp{}, chroma_ramp{};
      for (size_t i = 0; i < luma_ramp.size(); ++i) {
        luma_ramp[i] = uchar(i);
        chroma_ramp[i] = uchar(128 + (i / 16) % 64);
      }
      return std::pair{luma_ramp, chroma_ramp};
    }();
    for (int y = 0; y < height; ++y)
      std::memcpy(luma + size_t(y) * width, ramps.first.data() + (3 * y + 7 * number) % 256, size_t(width));
    for (int row = 0; row < 2 * height; ++row)
      std::memcpy(chroma + size_t(row) * width / 2, ramps.second.data() + 16 * ((row + number) % 64),
                  size_t(width / 2));
  }
  std::memcpy(luma, &number, sizeof number);
}

frame_buffer new_frame(int number, int field_lines, bool noisy) {
  frame_buffer frame = frame_buffer::allocate(recording_frame_bytes);
  std::memset(frame.data(), 0, recording_frame_bytes);
  draw_frame(frame.data(), number, field_lines, noisy);
  return frame;
}

QByteArray audio_bytes(int64_t first_byte, int64_t count) {
  QByteArray bytes(qsizetype(count), Qt::Uninitialized);
  for (int64_t i = 0; i < count; ++i) {
    const int64_t at = first_byte + i;
    const int64_t sample_frame = at / 4;
    const bool right = (at / 2) % 2 == 1;
    const uint16_t value = uint16_t(right ? ~sample_frame : sample_frame);
    bytes[qsizetype(i)] = char(at % 2 == 0 ? value & 0xFF : value >> 8);
  }
  return bytes;
}

int64_t audio_bytes_for_frames(int frames, bool sixty_hz) {
  const double rate = sixty_hz ? 30000.0 / 1001.0 : 25.0;
  return int64_t(frames * 48000.0 / rate) * 4;
}
