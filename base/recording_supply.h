// What a recording takes from the render thread: every converted field,
// oldest first, on the recorder's own thread. The window only connects the
// two; no field of a recording passes through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// One converted field on its way to the recording.
struct recorded_field {
  const unsigned char* pixels = nullptr;  // planar YUV 4:2:2, the first two rows black
  size_t bytes = 0;
  bool flag = false;
  uint64_t serial = 0;      // the capture thread's number for the field
  int64_t arrival_ns = -1;  // steady clock: when its last packet came
};

class recording_supply {
 public:
  virtual ~recording_supply() = default;
  // Converts every field for the recording from the next one on, or stops.
  virtual void set_recording(bool on) = 0;
  // Hands every converted field waiting for the recording to `use`, oldest
  // first; returns how many. One consumer at a time; nothing waits on the
  // producer while `use` runs.
  virtual int take_fields(const std::function<void(const recorded_field&)>& use) = 0;
  // Fields for the recording handed over and not yet taken, converted or
  // not (0 while it is off).
  virtual int fields_waiting() = 0;
  // Waits, at most `timeout_ms`, until every field handed over so far has
  // been converted; false on the time-out.
  virtual bool wait_until_converted(int timeout_ms) = 0;
  // Forgets what waits (fields of an earlier recording).
  virtual void discard_fields() = 0;
};
