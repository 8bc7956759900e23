// libFuzzer target: arbitrary bytes as a reaped transfer region, then as a
// stream of packets. The assembler must never read or write out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "capture/field_assembler.h"
#include "capture/usb_seam.h"

namespace {
struct sink : field_listener {
  size_t fields = 0;
  void field_complete(bool) override { ++fields; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<unsigned char> buffer(829440);
  field_assembler assembler(buffer.data(), buffer.size());
  sink s;
  const bool sixty = size > 0 && (data[0] & 1);
  // A small expected size lets the fuzzer reach the hand-over path.
  const int expected = size > 1 && (data[1] & 1) ? 64 : sixty ? 345600 : 414720;
  assembler.set_format(expected, sixty ? 691200 : 829440);

  // The input as a region, in an exactly sized block.
  std::vector<unsigned char> region(data, data + size);
  assembler.parse_region(region.data(), region.size(), 16, s);

  // The input as packets: each length prefixed by one byte.
  size_t i = 2;
  while (i < size) {
    const size_t length = std::min<size_t>(data[i], size - i - 1);
    std::vector<unsigned char> packet(data + i + 1, data + i + 1 + length);
    assembler.parse_packet(packet.data(), packet.size(), s);
    i += 1 + length;
  }
  return 0;
}
