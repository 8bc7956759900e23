// Reads a recording back with FFmpeg's own demuxer and decoder: what its
// streams declare, every frame decoded and told apart, and the sound.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "sim/test_pattern.h"

// What a file's streams declare, how its video decoded, and its sound.
struct avi_streams {
  bool opened = false;
  QString error;
  // Stream 0.
  QString video_codec;   // FFmpeg's names: "huffyuv"
  QString pixel_format;  // "yuv422p"
  int width = 0, height = 0;
  double frame_rate = 0.0;  // as the stream header declares it
  QString display_aspect;   // "4:3", from the pixel aspect the file declares
  int decode_errors = 0;
  // Stream 1.
  QString audio_codec;  // "pcm_s16le"
  int sample_rate = 0, channels = 0;
  int audio_packets = 0;
  QByteArray audio;        // every packet's bytes, in file order
  bool has_index = false;  // the trailer's idx1 chunk is there

  double audio_seconds() const { return double(audio.size()) / 192000.0; }
};

// The streams and every decoded frame, in decoding order, as Frame.
template <typename Frame>
struct avi_file : avi_streams {
  std::vector<Frame> frames;

  double video_seconds() const { return frame_rate > 0 ? double(frames.size()) / frame_rate : 0.0; }
};

// A file of frames from draw_frame() (tests/support/synthetic_media.h):
// each frame's number, found by drawing that frame again and comparing byte
// for byte; -1 for a frame that matches none.
using drawn_avi = avi_file<int>;
drawn_avi read_drawn_avi(const QString& path, int field_lines, bool noisy = false);

// 0, 1, 2, ... first + count - 1?
bool is_run(const std::vector<int>& frames, int first, int count);

// A file recorded from the virtual stick: each frame's two fields read back
// as its test pattern.
struct pattern_frame {
  test_pattern::field_info even;       // the field on rows 0, 2, 4, ...
  test_pattern::field_info odd;        // rows 1, 3, 5, ...
  bool even_rows_start_black = false;  // each field's first two luma rows are 0
};
using pattern_avi = avi_file<pattern_frame>;
pattern_avi read_pattern_avi(const QString& path);

// Frames the file's index lists for its picture (in *frames), and how many
// of them FFmpeg finds again when it seeks to each by number: all of them in
// a file whose index is whole. -1 when the file does not open.
int seekable_frames(const QString& path, int* frames);

// How outside tools see a file's fields: mediainfo's scan order ("TFF",
// "BFF"; empty when it says none or cannot be run) and ffmpeg's idet
// filter's single-frame verdicts over the whole picture (all -1 when ffmpeg
// cannot be run).
struct field_verdicts {
  QString scan_order;
  int tff = -1, bff = -1, progressive = -1, undetermined = -1;
  int combed() const { return tff + bff; }
};
field_verdicts read_field_verdicts(const QString& path);
