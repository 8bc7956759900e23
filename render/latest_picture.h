// The newest display picture, passed from the render thread to the GUI
// thread without either of them ever waiting for the other: three buffers,
// one the render thread writes, one the GUI thread shows from, and one in
// between that holds the newest finished picture. Handing a picture over,
// in either direction, is one atomic exchange of a buffer index.
//
// A picture the GUI thread has not taken by the time the next one is
// finished is simply replaced: the display always gets the newest.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// What a picture shows, and where its field came from.
struct picture_info {
  int width = 0;
  int height = 0;
  uint64_t field_serial = 0;  // the field that finished it
  int64_t arrival_ns = -1;    // steady clock: when that field's last packet came
};

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
    const int previous = middle_.exchange(back_ | fresh_bit, std::memory_order_acq_rel);
    back_ = previous & index_mask;
  }

  // GUI thread: makes the newest picture the front one; false (and the
  // front unchanged) when none was published since the last take.
  bool take() {
    if (!(middle_.load(std::memory_order_acquire) & fresh_bit)) return false;
    const int previous = middle_.exchange(front_, std::memory_order_acq_rel);
    front_ = previous & index_mask;
    has_front_ = true;
    return true;
  }
  bool has_front() const { return has_front_; }
  const unsigned char* front() const { return buffers_[size_t(front_)].data(); }
  const picture_info& front_info() const { return info_[size_t(front_)]; }

 private:
  static constexpr int index_mask = 3;
  static constexpr int fresh_bit = 4;
  std::array<std::vector<unsigned char>, 3> buffers_;
  std::array<picture_info, 3> info_{};
  int back_ = 0;                 // render thread's
  std::atomic<int> middle_{1};   // shared
  int front_ = 2;                // GUI thread's
  bool has_front_ = false;
};
