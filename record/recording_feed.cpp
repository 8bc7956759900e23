#include "record/recording_feed.h"

#include <algorithm>
#include <cstring>

#include "base/field_order.h"
#include "record/recorder.h"

void weave_encoder_field(const uchar* field, uchar* frame, int width, int field_lines, double bytes_per_pixel,
                         bool field_flag) {
  const size_t w = size_t(width);
  const size_t n = size_t(field_lines);
  const size_t f = field_flag ? 1 : 0;
  for (size_t i = 0; i < n; ++i) std::memcpy(frame + (2 * i + f) * w, field + i * w, w);
  // Field chroma row j becomes frame chroma row 2j + f: the Cb rows fill the
  // frame's Cb plane, the Cr rows its Cr plane.
  const size_t chroma_width = size_t(width / bytes_per_pixel);
  const uchar* chroma = field + n * w;
  uchar* frame_chroma = frame + 2 * n * w;
  for (size_t j = 0; j < 2 * n; ++j)
    std::memcpy(frame_chroma + j * w + f * chroma_width, chroma + j * chroma_width, chroma_width);
}

frame_buffer hand_over_recording_frame(recorder& rec, frame_buffer frame, frame_buffer (*allocate)(size_t),
                                       int64_t arrival_ns, int64_t missing_before) {
  frame_buffer copy = allocate(recording_frame_bytes);
  if (!copy) {
    rec.add_missing_frames(missing_before);
    rec.count_dropped_frames(1);
    return frame;
  }
  std::memcpy(copy.data(), frame.data(), recording_frame_bytes);
  rec.add_video_frame(std::move(frame), arrival_ns, missing_before);
  return copy;
}

frame_buffer record_numbered_field(recorder& rec, const uchar* field, frame_buffer frame, int width, int field_lines,
                                   double bytes_per_pixel, bool field_flag, uint64_t serial, int64_t arrival_ns,
                                   recording_feed_state* state) {
  if (!frame || arrival_ns > state->until_ns) return frame;
  if (state->last_serial != 0 && serial > state->last_serial + 1)
    state->fields_missing += int64_t(serial - state->last_serial - 1);
  if (serial > state->last_serial) state->last_serial = serial;
  weave_encoder_field(field, frame.data(), width, field_lines, bytes_per_pixel, field_flag);
  if (field_flag != completing_flag(2 * field_lines)) {
    state->earlier_seen = true;
    state->earlier_serial = serial;
    return frame;
  }
  if (!state->earlier_seen) return frame;
  // Frame periods since the last frame: two fields each. A later field
  // lost since then left its period without a frame.
  int64_t missing = 0;
  if (state->frame_serial != 0 && serial > state->frame_serial)
    missing = std::max<int64_t>(0, (int64_t(serial - state->frame_serial) + 1) / 2 - 1);
  state->frame_serial = serial;
  // Its earlier field should be the one just before it; an older one means
  // that field was lost.
  if (state->earlier_serial + 1 != serial) rec.count_damaged_frame();
  return hand_over_recording_frame(rec, std::move(frame), frame_buffer::allocate, arrival_ns, missing);
}
