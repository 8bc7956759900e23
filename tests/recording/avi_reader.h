// Reads back a recording with FFmpeg's own demuxer and decoder: the streams'
// parameters, every decoded frame as planar 4:2:2, and the sound.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "sim/test_pattern.h"

struct recorded_frame {
  test_pattern::field_info even;  // the field on rows 0, 2, 4, ...
  test_pattern::field_info odd;   // rows 1, 3, 5, ...
  bool even_rows_start_black = false;  // each field's first two luma rows are 0
};

struct recording {
  bool opened = false;
  QString error;
  QString video_codec, pixel_format, audio_codec;
  int width = 0, height = 0;
  double frame_rate = 0.0;
  QString display_aspect;  // "4:3", from the pixel aspect the file declares
  int sample_rate = 0, channels = 0;
  int decode_errors = 0;
  std::vector<recorded_frame> frames;
  QByteArray audio;  // interleaved s16le stereo
  double video_seconds() const { return frame_rate > 0 ? double(frames.size()) / frame_rate : 0.0; }
  double audio_seconds() const { return double(audio.size()) / 192000.0; }
};

recording read_recording(const QString& path);
