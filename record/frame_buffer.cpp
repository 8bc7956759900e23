#include "record/frame_buffer.h"

#include <mutex>
#include <new>
#include <vector>

namespace frame_memory {
namespace {

struct kept_frames {
  std::mutex mutex;
  std::vector<uint8_t*> bytes;  // each `size` long
  size_t size = 0;
};

// Never destroyed: a frame may be let go by a thread still running while
// the process exits.
kept_frames& store() {
  static kept_frames* frames = new kept_frames;
  return *frames;
}

}  // namespace

uint8_t* take(size_t size) {
  kept_frames& k = store();
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    if (size == k.size && !k.bytes.empty()) {
      uint8_t* b = k.bytes.back();
      k.bytes.pop_back();
      return b;
    }
  }
  return new (std::nothrow) uint8_t[size];
}

void give_back(uint8_t* bytes, size_t size) {
  if (!bytes) return;
  std::vector<uint8_t*> other_size;
  kept_frames& k = store();
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    // Frames of another size (the standard changed) are not wanted again.
    if (size != k.size) {
      other_size.swap(k.bytes);
      k.size = size;
    }
    if (int(k.bytes.size()) < kept_at_most) {
      k.bytes.push_back(bytes);
      bytes = nullptr;
    }
  }
  for (uint8_t* b : other_size) delete[] b;
  delete[] bytes;
}

void clear() {
  std::vector<uint8_t*> all;
  kept_frames& k = store();
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    all.swap(k.bytes);
  }
  for (uint8_t* b : all) delete[] b;
}

int kept() {
  kept_frames& k = store();
  std::lock_guard<std::mutex> lock(k.mutex);
  return int(k.bytes.size());
}

}  // namespace frame_memory
