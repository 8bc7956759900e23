// Where the capture thread's whole fields go: the render thread in the
// program, a test's own sink in the capture tests. The capture thread knows
// nothing else of what becomes of them.
#pragma once

#include <cstddef>
#include <cstdint>

// The fields of a streaming run, as the capture thread programmed them.
struct field_geometry {
  int width = 720;                // pixels per captured line
  int frame_lines = 576;          // 480 or 576; a field has half
  int half_display_width = 384;   // 320 or 384
  int half_display_height = 288;  // 240, 180, 288 or 216
};

class field_sink {
 public:
  virtual ~field_sink() = default;
  // A streaming run starts: the fields that follow have `geometry`. May wait
  // until the fields handed over before it are done with.
  virtual void stream_starting(const field_geometry& geometry) = 0;
  // One whole field, its bytes as the stick sent them (UYVY), `flag` its
  // start bit, `arrival_ns` (steady clock) when its last packet came, and
  // `serial` the capture thread's number for it. Never waits for the
  // sink's consumer; the bytes are the caller's again when this returns.
  virtual void take_field(bool flag, const unsigned char* pixels, size_t bytes, int64_t arrival_ns,
                          uint64_t serial) = 0;
  // The capture thread ends: nothing more comes, and a sink with a thread of
  // its own ends that thread before this returns.
  virtual void capture_ended() = 0;
  // Fields handed over that the sink had no room for.
  virtual uint32_t fields_dropped() const = 0;
};
