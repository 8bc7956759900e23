// The programming sequence the stick must see, transfer by transfer, written
// out from the bridge, decoder and codec register tables independently of
// the capture code's own tables.
#pragma once

#include <utility>
#include <vector>

#include "capture/capture_settings.h"
#include "sim/virtual_stick.h"

// The expected transfers, written out from the register tables.
struct sequence {
  std::vector<stick_op> ops;
  void bridge(int reg, int value) { ops.push_back({stick_op_kind::control, 0x40, 0x01, value, reg, 0, 0}); }
  void read(int reg) { ops.push_back({stick_op_kind::control, 0xC0, 0x00, 0, reg, 1, 1}); }
  void decoder(int reg, int value) {
    bridge(0x204, reg);
    bridge(0x205, value);
    bridge(0x200, 0x01);
    read(0x201);
  }
  void codec(int reg, int value) {
    bridge(0x504, reg);
    bridge(0x502, value & 0xFF);
    bridge(0x503, value >> 8);
    bridge(0x500, 0x8C);
  }
  void codec_read(int reg) {
    bridge(0x504, reg);
    bridge(0x500, 0x8B);
    read(0x502);
    read(0x503);
  }
  void alternate(int alt, int result) { ops.push_back({stick_op_kind::set_alternate, 0, 0, alt, 0, 0, result}); }
};

using standard = video_standard;

inline sequence expected_programming(standard std, bool s_video, int chosen_channel) {
  const bool sixty = std != standard::pal;
  sequence s;
  for (auto [r, v] :
       {std::pair{0x500, 0x94}, {0x203, 0xA0}, {0x003, 0x80}, {0x001, 0x03}, {0x000, 0x21}, {0x002, 0x67}})
    s.bridge(r, v);
  for (auto [r, v] : {std::pair{0x203, 0x4A},
                      {0x00D, 0x00},
                      {0x00F, 0x02},
                      {0x103, 0x00},
                      {0x018, 0x00},
                      {0x01A, 0x14},
                      {0x01B, 0x0E},
                      {0x01C, 0x46},
                      {0x019, 0x00},
                      {0x300, 0x12},
                      {0x350, 0x2D},
                      {0x351, 0x01},
                      {0x352, 0x00},
                      {0x353, 0x00},
                      {0x300, 0x80},
                      {0x018, 0x10},
                      {0x202, 0x0F}})
    s.bridge(r, v);
  s.bridge(0x100, 0x33);
  for (auto [r, v] : {std::pair{0x01, 0x08},
                      {0x02, s_video ? 0xC9 : 0xC0},
                      {0x03, 0x20},
                      {0x04, 0x90},
                      {0x05, 0x90},
                      {0x06, 0xEB},
                      {0x07, 0xE0},
                      {0x08, sixty ? 0x79 : 0x39},
                      {0x09, 0x00},
                      {0x0E, std == standard::pal_60 ? 0x11 : 0x01},
                      {0x0F, 0x2A},
                      {0x10, 0x06},
                      {0x11, 0x08},
                      {0x12, 0x00},
                      {0x13, 0x00},
                      {0x14, 0x01},
                      {0x15, 0x11},
                      {0x16, 0xFE},
                      {0x17, 0xD8},
                      {0x18, 0x40},
                      {0x19, 0x80},
                      {0x1A, 0x77},
                      {0x1B, 0x42},
                      {0x1C, 0xA9},
                      {0x1D, 0x01},
                      {0x83, 0x31},
                      {0x88, s_video ? 0xCA : 0x4A}})
    s.decoder(r, v);
  for (int r = 0x41; r <= 0x57; ++r) s.decoder(r, 0xFF);
  s.decoder(0x0A, 0x7F);
  s.decoder(0x0B, 0x3F);
  s.decoder(0x0C, 0x3F);
  s.decoder(0x0D, 0x00);
  s.codec(0x94, 0x0000);
  s.bridge(0x506, 0x01);
  s.bridge(0x507, 0x00);
  s.codec(0x1A, 0x0404);
  s.codec(0x10, 0x0000);
  s.codec(0x1C, 0x0505);
  s.codec_read(0x7C);
  s.codec_read(0x7E);
  const int routing = chosen_channel >= 0 ? 0x80 | chosen_channel << 3 : s_video ? 0x80 : 0x90;
  s.bridge(0x000, routing);
  s.bridge(0x002, 0x98);
  s.bridge(0x110, 0);
  s.bridge(0x111, 0);
  s.bridge(0x112, sixty ? 3 : 1);
  s.bridge(0x113, 0);
  s.bridge(0x114, 0x05A0);
  s.bridge(0x115, 0x05);
  s.bridge(0x116, sixty ? 243 : 0x121);
  s.bridge(0x117, sixty ? 0 : 1);
  s.alternate(5, 0);
  s.read(0x100);
  s.bridge(0x100, 0xB3);  // 0x33 with capture enabled
  return s;
}

// The control transfers and the alternate-setting change in a stick's log.
inline std::vector<stick_op> programming_log(const virtual_stick& stick) {
  std::vector<stick_op> out;
  for (const auto& op : stick.log())
    if (op.kind == stick_op_kind::control || op.kind == stick_op_kind::set_alternate) out.push_back(op);
  return out;
}
