// The bridge's isochronous video stream, one packet per 125 us microframe.
//
// A field takes 160 microframes at 50 Hz, 133 or 134 at 59.94 Hz. Its first
// microframe carries the field-start packet, an 8-byte header alone; a few
// empty packets follow (blanking), then data packets of a 4-byte header and
// an even share of the field's UYVY bytes, then empty packets until the
// next field.
//
// Bit 6 of every packet's first byte is the decoder's field bit: set (0xC0
// on a start) for the top field, the one on a frame's even rows. A 625-line
// picture begins with its top field; on 525 lines the decoder's field bit
// is inverted and a picture begins with its bottom field (0x80), so fields
// 2n and 2n + 1 (picture n) start 0xC0, 0x80 at 50 Hz and 0x80, 0xC0 at
// 60 Hz.
//
// Without a signal the decoder free-runs at the field rate it is set for:
// the fields come as always, flat black. A signal at the other field rate
// keeps the line lock but not the vertical one: the picture rolls.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "sim/test_pattern.h"

// What the decoder makes of the signal at its input.
enum class stream_picture {
  test_pattern,  // locked: the test pattern
  flat,          // nothing to lock to: flat black, no data strip
  rolling,       // a signal at the other field rate: the pattern rolls down the field
};

struct stream_geometry {
  int lines = 288;        // per field, from the capture window
  int line_bytes = 1440;  // from the capture window
  bool sixty_hz = false;  // field rate, from the decoder
  test_pattern::programming programmed;
  stream_picture picture = stream_picture::test_pattern;
  test_pattern::motion moving = test_pattern::motion::per_field;
  bool operator==(const stream_geometry&) const = default;
};

class video_stream {
 public:
  static constexpr int blanking_microframes = 8;
  static constexpr int start_header = 8;
  static constexpr int data_header = 4;

  // The next microframe's packet into out (at most max bytes); its length.
  // `geometry` is what the stick is programmed with now; it takes effect at
  // the next field start.
  int next_packet(const stream_geometry& geometry, unsigned char* out, int max);
  // Microframes that pass with nothing queued on the bus: their data is lost.
  void skip(uint64_t microframes, const stream_geometry& geometry);

  uint64_t microframe() const { return microframe_; }
  // The microframes (numbered as microframe() counts them) in which a field
  // carrying the sync mark started, sent or skipped, since the last call.
  std::vector<uint64_t> take_marks() { return std::exchange(marks_, {}); }

 private:
  void begin_field(const stream_geometry& geometry, int max);
  void draw();
  int field_length(uint32_t field) const;

  uint64_t microframe_ = 0;
  uint32_t field_ = 0;
  int position_ = 0;  // microframe within the field
  int length_ = 160;
  stream_geometry current_;
  int field_bytes_ = 0;
  int per_packet_ = 0;
  bool drawn_ = false;
  int roll_bytes_ = 0;            // a rolling picture is this many bytes down the field
  bool flat_in_picture_ = false;  // picture_ holds a flat field of this size already
  std::vector<uint8_t> picture_;
  std::vector<uint64_t> marks_;
};
