// Synthetic pictures and sound the recording tests send, and a reader that
// checks what an AVI file holds against them with FFmpeg's own demuxer and
// decoder.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <vector>

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

struct avi_contents {
  bool opened = false;
  QString error;
  // Stream 0.
  int video_codec = 0;  // AVCodecID
  int pixel_format = -1;
  int width = 0, height = 0;
  double frame_rate = 0.0;
  // Frame numbers in decoding order; -1 for a frame that matches no frame.
  std::vector<int> frames;
  int decode_errors = 0;
  // Stream 1.
  int audio_codec = 0;
  int sample_rate = 0;
  int channels = 0;
  int audio_packets = 0;
  QByteArray audio;
  bool has_index = false;  // the trailer's idx1 chunk is there

  double video_seconds() const { return frame_rate > 0 ? double(frames.size()) / frame_rate : 0.0; }
  double audio_seconds() const { return double(audio.size()) / 192000.0; }
};

// Reads every packet of `path`, decodes the video and identifies each frame
// by comparing it byte for byte with draw_frame().
avi_contents read_avi(const QString& path, int field_lines, bool noisy = false);

// 0, 1, 2, ... first + count - 1?
bool is_run(const std::vector<int>& frames, int first, int count);
