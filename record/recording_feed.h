// The recording feed: the recorder's thread weaves each encoder field into the
// recording frame at its field's row parity and, on every field whose flag
// is clear, hands the finished frame to the recorder and keeps weaving into a
// copy, so the other field's rows carry over into the next frame.
//
// Field order. The field whose first packet the stick marks 0xC0 comes with
// the flag clear and fills the even rows (the top field: the kernel's stk1160
// driver places it there too); 0x80 fields fill the odd rows. A frame goes
// out on a 0xC0 field, so its odd rows hold the field before: the earlier
// field is the bottom one, for every standard, and the file says so. For
// 525-line signals that is the signal's own pairing (there the 0x80 field is
// field 1). A 625-line signal sends field 1 as 0xC0 first, so a frame here
// joins field 2 of one picture with field 1 of the next: a proper interlaced
// frame, bottom first, but a film-sourced PAL picture is not rebuilt whole
// by weaving it.
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
  bool odd_field_seen = false;   // the first frame has both fields
  uint64_t last_serial = 0;      // the last field woven (0: none)
  uint64_t frame_serial = 0;     // the flag-clear field of the last frame handed over (0: none)
  uint64_t set_serial = 0;       // the last flag-set field woven
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

// One field while recording: the weave, and the hand-over on a flag-clear
// field once a flag-set field has been woven since the recording started,
// so no frame goes out with rows no field has filled. Two flag-clear
// fields in a row mean the flag-set field between them was lost: that
// frame goes out with an older one, and the recorder counts it damaged.
// Takes the recording frame and returns the one to use from now on.
frame_buffer record_encoder_field(recorder& rec, const uchar* field, frame_buffer frame, int width, int field_lines,
                                  double bytes_per_pixel, bool field_flag, bool* odd_field_seen,
                                  bool* last_clear = nullptr);

// The same for a field the stick numbered (`serial`, counting every field
// it sent, `arrival_ns` when it came): fields missing between the numbers
// are counted, and the frame periods they leave without a frame are handed
// to the recorder with the next frame, which repeats the last one in their
// place. So the file keeps the stick's time to the frame wherever fields
// were lost on the way.
frame_buffer record_numbered_field(recorder& rec, const uchar* field, frame_buffer frame, int width, int field_lines,
                                   double bytes_per_pixel, bool field_flag, uint64_t serial, int64_t arrival_ns,
                                   recording_feed_state* state);
