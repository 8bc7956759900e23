// Field assembly throughput: a real stream's regions (16 packets of up to
// 3072 bytes, field starts, blanking) parsed into fields. The stick sends
// 20.7 MB/s; the parse must be far faster.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "capture/field_assembler.h"
#include "capture/usb_seam.h"
#include "sim/video_stream.h"

namespace {

struct counter : field_listener {
  size_t fields = 0;
  void field_complete(bool) override { ++fields; }
};

// Two seconds of stream, as the isochronous service lays it out.
std::vector<std::vector<unsigned char>> make_regions(bool sixty_hz) {
  constexpr int packets = 16, packet_size = 3072;
  const int header = iso_region_header_size(packets);
  stream_geometry g;
  g.sixty_hz = sixty_hz;
  g.lines = sixty_hz ? 240 : 288;
  video_stream stream;
  std::vector<std::vector<unsigned char>> regions(1000);
  for (auto& r : regions) {
    r.assign(size_t(iso_region_size(packets, packet_size)), 0);
    const uint32_t count = packets;
    std::memcpy(r.data(), &count, 4);
    for (int k = 0; k < packets; ++k) {
      const uint32_t offset = uint32_t(header + k * packet_size);
      const uint32_t length = uint32_t(stream.next_packet(g, r.data() + offset, packet_size));
      std::memcpy(r.data() + 4 + 12 * k, &offset, 4);
      std::memcpy(r.data() + 8 + 12 * k, &length, 4);
    }
  }
  return regions;
}

void parse_stream(benchmark::State& state) {
  const bool sixty_hz = state.range(0) != 0;
  const auto regions = make_regions(sixty_hz);
  std::vector<unsigned char> buffer(829440);
  field_assembler assembler(buffer.data(), buffer.size());
  assembler.set_format(sixty_hz ? 345600 : 414720, sixty_hz ? 691200 : 829440);
  counter c;
  for (auto _ : state)
    for (const auto& r : regions) assembler.parse_region(r.data(), r.size(), 16, c);
  state.SetBytesProcessed(int64_t(assembler.counters().payload_bytes));
  state.counters["fields"] = double(c.fields);
  // The stream's own rate, for comparison with bytes_per_second.
  state.counters["stream_MB/s"] = 20.7;
  benchmark::DoNotOptimize(c.fields);
}
BENCHMARK(parse_stream)->Arg(0)->Arg(1)->ArgName("sixty_hz")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
