// The bytes of one whole frame (planar 4:2:2), owned by whoever holds them:
// the recorder's weave, then its queue, then the encoder, which takes them
// over without a copy (avi_writer::write_frame()). Moves only. An empty
// buffer (no bytes) stands for a frame that never came: the recorder
// repeats the last one in its place.
//
// A recording goes through 25 or 30 frames of some 800 KB a second. Their
// memory is kept for the next frame when one is let go, rather than handed
// back to the system and faulted in again for the next: a few frames' worth,
// of the size last let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace frame_memory {
// `size` bytes, not cleared, kept from a frame let go or new; nullptr when
// there is no memory for them. Any thread.
uint8_t* take(size_t size);
// Lets `bytes` (from take(size)) go: kept for the next take(size), or freed.
void give_back(uint8_t* bytes, size_t size);
// Frees what is kept (tests).
void clear();
// Frames' worth kept at most.
constexpr int kept_at_most = 8;
int kept();
}  // namespace frame_memory

class frame_buffer {
 public:
  frame_buffer() = default;
  frame_buffer(frame_buffer&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  frame_buffer& operator=(frame_buffer&& other) noexcept {
    if (&other != this) {
      reset();
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  frame_buffer(const frame_buffer&) = delete;
  frame_buffer& operator=(const frame_buffer&) = delete;
  ~frame_buffer() { reset(); }

  // `size` bytes, not cleared; empty when there is no memory for them.
  static frame_buffer allocate(size_t size) {
    frame_buffer frame;
    frame.bytes_ = frame_memory::take(size);
    if (frame.bytes_) frame.size_ = size;
    return frame;
  }

  uint8_t* data() { return bytes_; }
  const uint8_t* data() const { return bytes_; }
  size_t size() const { return size_; }
  bool empty() const { return !bytes_; }
  explicit operator bool() const { return bytes_ != nullptr; }

  // Gives the bytes up to a new owner, which lets them go with
  // frame_memory::give_back(bytes, size()) — size() as it was before this.
  uint8_t* release() {
    size_ = 0;
    return std::exchange(bytes_, nullptr);
  }

 private:
  void reset() {
    if (bytes_) frame_memory::give_back(bytes_, size_);
    bytes_ = nullptr;
    size_ = 0;
  }
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};
