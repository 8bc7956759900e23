// The bytes of one whole frame (planar 4:2:2), owned by whoever holds them:
// the window's weave, then the recorder's queue, then the encoder, which
// takes them over without a copy (avi_writer::write_frame()). Moves only.
// An empty buffer (no bytes) stands for a frame that never came: the
// recorder repeats the last one in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

class frame_buffer {
 public:
  frame_buffer() = default;
  frame_buffer(frame_buffer&& other) noexcept : bytes_(std::move(other.bytes_)), size_(other.size_) { other.size_ = 0; }
  frame_buffer& operator=(frame_buffer&& other) noexcept {
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    if (&other != this) other.size_ = 0;
    return *this;
  }
  frame_buffer(const frame_buffer&) = delete;
  frame_buffer& operator=(const frame_buffer&) = delete;

  // `size` bytes, not cleared; empty when there is no memory for them.
  static frame_buffer allocate(size_t size) {
    frame_buffer frame;
    frame.bytes_.reset(new (std::nothrow) uint8_t[size]);
    if (frame.bytes_) frame.size_ = size;
    return frame;
  }

  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return !bytes_; }
  explicit operator bool() const { return bool(bytes_); }

  // Gives the bytes up to a new owner, which frees them with delete[].
  uint8_t* release() {
    size_ = 0;
    return bytes_.release();
  }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
};
