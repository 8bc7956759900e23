// Synthetic pictures and sound the recording tests send: frames that carry
// their number and can be drawn again to compare with what a file holds,
// and a stream of samples that says where each byte belongs.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>

#include "record/frame_buffer.h"

// Frame size in bytes of a planar 4:2:2 720-wide frame of 2 x field_lines.
size_t frame_bytes(int field_lines);

// Frame `number` for a frame of 2 x field_lines lines: the number in the
// first luma bytes, the rest a picture that depends on it. Noisy frames do
// not compress, so they fill a file quickly.
void draw_frame(uchar* frame, int number, int field_lines, bool noisy);
// The same in an 829,440-byte buffer of its own, as the main window hands over.
frame_buffer new_frame(int number, int field_lines, bool noisy = false);

// A continuous stream of 16-bit stereo samples: sample frame s carries s on
// the left and ~s on the right (both truncated to 16 bits).
QByteArray audio_bytes(int64_t first_byte, int64_t count);
// Bytes of audio that belong to the first `frames` frames, whole sample
// frames only.
int64_t audio_bytes_for_frames(int frames, bool sixty_hz);
