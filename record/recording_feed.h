// The recording feed: the recorder's thread weaves each encoder field into the
// recording frame at its field's row parity and, on the field that completes
// a picture of the signal, hands the finished frame to the recorder and keeps
// weaving into a copy.
//
// Field order (base/field_order.h): the flag-clear field, which the stick
// marks 0xC0, fills the even rows (the top field), the flag-set one the odd
// rows. Each frame is one picture as the signal sends it: at 50 Hz its top
// field and then its bottom field (the file says top field first), at 60 Hz
// its bottom field and then its top field (bottom field first). So a film
// on a PAL tape, both fields of a picture from one film frame, weaves back
// into whole film frames.
#pragma once

#include <QtGlobal>
#include <cstddef>
#include <cstdint>

#include "record/frame_buffer.h"

class recorder;

// 288 lines x 720 x 2.0 bytes per pixel x 2 fields, whatever the standard.
constexpr size_t recording_frame_bytes = 829440;

// Copies one field (planar 4:2:2: Y rows of width bytes, then field_lines Cb
// rows and field_lines Cr rows of width / bytes_per_pixel bytes) into the
// frame's even rows (field_flag clear) or odd rows (set), luma and chroma.
void weave_encoder_field(const uchar* field, uchar* frame, int width, int field_lines, double bytes_per_pixel,
                         bool field_flag);

// Where a recording's feed stands; all false / 0 when a recording starts.
struct recording_feed_state {
  bool earlier_seen = false;     // the first frame has both fields
  uint64_t last_serial = 0;      // the last field woven (0: none)
  uint64_t frame_serial = 0;     // the later field of the last frame handed over (0: none)
  uint64_t earlier_serial = 0;   // the last earlier field woven
  int64_t fields_missing = 0;    // fields that never reached the feed
  int64_t until_ns = INT64_MAX;  // fields that came later are not recorded
};

// Hands frame to the recorder and returns a copy of it to weave on. When the
// copy cannot be allocated, frame comes back as the recording frame,
// nothing is handed over and the recorder counts one dropped frame.
// `missing_before` frame periods went by without a frame of their own since
// the last one.
frame_buffer hand_over_recording_frame(recorder& rec, frame_buffer frame,
                                       frame_buffer (*allocate)(size_t) = frame_buffer::allocate,
                                       int64_t arrival_ns = -1, int64_t missing_before = 0);

// One field while recording, numbered by the stick (`serial`, counting every
// field it sent; `arrival_ns` when it came). The field is woven; a picture's
// later field then hands the frame over, once an earlier field has been
// woven since the recording started, so no frame goes out with rows no
// field has filled. A frame whose earlier field was lost goes out with an
// older one in its place, and the recorder counts it damaged. Fields
// missing between the numbers are counted, and the frame periods they leave
// without a frame are handed to the recorder with the next frame, which
// repeats the last one in their place. So the file keeps the stick's time
// to the frame wherever fields were lost on the way.
frame_buffer record_numbered_field(recorder& rec, const uchar* field, frame_buffer frame, int width, int field_lines,
                                   double bytes_per_pixel, bool field_flag, uint64_t serial, int64_t arrival_ns,
                                   recording_feed_state* state);
