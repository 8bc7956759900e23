// The newest display picture, passed from the render thread to the GUI
// thread without either of them ever waiting for the other: three buffers,
// one the render thread writes, one the GUI thread shows from, and one in
// between that holds the newest finished picture. Handing a picture over,
// in either direction, swaps two buffer indexes under a lock that is held
// for nothing else: neither side ever waits while the other draws or
// uploads.
//
// A picture the GUI thread has not taken by the time the next one is
// finished is simply replaced: the display always gets the newest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "render/display_picture.h"

class latest_picture {
 public:
  explicit latest_picture(size_t bytes_per_picture) {
    for (auto& b : buffers_) b.assign(bytes_per_picture, 0);
  }
  latest_picture(const latest_picture&) = delete;
  latest_picture& operator=(const latest_picture&) = delete;

  // Render thread: the buffer to draw the next picture into, and its
  // description; publish() makes it the newest.
  unsigned char* back() { return buffers_[size_t(back_)].data(); }
  picture_info& back_info() { return info_[size_t(back_)]; }
  void publish() {
    std::lock_guard<std::mutex> lock(swap_);
    std::swap(back_, middle_);
    fresh_ = true;
  }

  // GUI thread: makes the newest picture the front one; false (and the
  // front unchanged) when none was published since the last take.
  bool take() {
    std::lock_guard<std::mutex> lock(swap_);
    if (!fresh_) return false;
    std::swap(front_, middle_);
    fresh_ = false;
    has_front_ = true;
    shown_ = info_[size_t(front_)];
    return true;
  }
  bool has_front() const { return has_front_; }
  const unsigned char* front() const { return buffers_[size_t(front_)].data(); }
  const picture_info& front_info() const { return shown_; }

 private:
  std::array<std::vector<unsigned char>, 3> buffers_;
  std::array<picture_info, 3> info_{};
  int back_ = 0;   // render thread's
  int front_ = 2;  // GUI thread's
  bool has_front_ = false;
  picture_info shown_;  // the front's description, copied as it is taken
  // Guards the one in between and whether it is newer than the front.
  std::mutex swap_;
  int middle_ = 1;
  bool fresh_ = false;
};
