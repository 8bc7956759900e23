// The virtual stick's sync marks: the mark in the test pattern's data strip,
// the microframes the stream says they start in, when the in-process
// adapter puts them on the bus with its field clock fast or slow, and where
// the stick's sound puts their clicks.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "capture/usb_seam.h"
#include "sim/bus_schedule.h"
#include "sim/in_process_backend.h"
#include "sim/stick_sound.h"
#include "sim/test_pattern.h"
#include "sim/video_stream.h"
#include "tests/support/iso_stream.h"

namespace {

using test_pattern::field_info;

// --- the mark in the picture

TEST(sync_mark_pattern, the_mark_reads_back_without_touching_the_other_bits) {
  constexpr int lines = 288, line_bytes = 1440;
  std::vector<uint8_t> field(size_t(lines) * line_bytes);
  const test_pattern::programming all_set{0xF, true, 7, 3};
  for (const field_info& drawn :
       {field_info{0xFFFFFFFFu, true, all_set, false}, field_info{0, false, {}, true},
        field_info{0xFFFFFFFFu, true, all_set, true}, field_info{50, true, {9, false, 1, 2}, true}}) {
    test_pattern::draw_field(field.data(), lines, line_bytes, drawn);
    EXPECT_EQ(test_pattern::decode_uyvy(field.data(), lines), drawn);
    // The strip's luma alone, as a reader of planar frames has it.
    std::vector<uint8_t> luma(test_pattern::width);
    const uint8_t* row = field.data() + size_t(lines - test_pattern::strip_lines / 2) * line_bytes;
    for (int x = 0; x < test_pattern::width; ++x) luma[size_t(x)] = row[2 * x + 1];
    EXPECT_EQ(test_pattern::decode_luma(luma.data()), drawn);
  }
}

TEST(sync_mark_pattern, one_field_a_second_of_the_field_clock_carries_it) {
  EXPECT_EQ(test_pattern::sync_mark_interval(false), 50u);
  EXPECT_EQ(test_pattern::sync_mark_interval(true), 60u);
  for (uint32_t n : {0u, 50u, 100u, 150u, 300u}) EXPECT_TRUE(test_pattern::carries_sync_mark(n, false)) << n;
  for (uint32_t n : {1u, 49u, 51u, 60u, 120u}) EXPECT_FALSE(test_pattern::carries_sync_mark(n, false)) << n;
  for (uint32_t n : {0u, 60u, 120u, 600u}) EXPECT_TRUE(test_pattern::carries_sync_mark(n, true)) << n;
  for (uint32_t n : {1u, 50u, 59u, 61u, 100u}) EXPECT_FALSE(test_pattern::carries_sync_mark(n, true)) << n;
}

// The stream of one standard, packet by packet: each whole field is put
// together from its data packets and read back; the marks the stream
// reports are the microframes the marked fields started in.
struct streamed {
  std::vector<field_info> fields;
  std::vector<uint64_t> field_starts;  // microframe of each field's start packet
  std::vector<uint64_t> marks;
};

streamed stream_fields(const stream_geometry& g, int field_count) {
  video_stream stream;
  streamed out;
  std::vector<uint8_t> packet(stick_hw::iso_packet_size), field;
  const size_t field_bytes = size_t(g.lines) * size_t(g.line_bytes);
  auto finish = [&] {
    if (field.size() == field_bytes) out.fields.push_back(test_pattern::decode_uyvy(field.data(), g.lines));
    field.clear();
  };
  while (int(out.field_starts.size()) <= field_count) {
    const uint64_t microframe = stream.microframe();
    const int n = stream.next_packet(g, packet.data(), int(packet.size()));
    if (n == video_stream::start_header) {
      finish();
      out.field_starts.push_back(microframe);
    } else if (n > video_stream::data_header) {
      field.insert(field.end(), packet.begin() + video_stream::data_header, packet.begin() + n);
    }
    for (uint64_t m : stream.take_marks()) out.marks.push_back(m);
  }
  return out;
}

TEST(sync_mark_stream, marked_fields_come_one_a_second_at_50_hz) {
  const streamed s = stream_fields({288, 1440, false, {}}, 110);
  ASSERT_EQ(s.fields.size(), 110u);
  for (size_t i = 0; i < s.fields.size(); ++i) {
    EXPECT_EQ(s.fields[i].number, i);
    EXPECT_EQ(s.fields[i].sync_mark, i % 50 == 0) << "field " << i;
  }
  // 50 fields of 160 microframes: exactly a second.
  EXPECT_EQ(s.marks, (std::vector<uint64_t>{0, 8000, 16000}));
}

TEST(sync_mark_stream, marked_fields_come_every_1001_ms_at_59_94_hz) {
  const streamed s = stream_fields({240, 1440, true, {}}, 125);
  ASSERT_EQ(s.fields.size(), 125u);
  for (size_t i = 0; i < s.fields.size(); ++i) EXPECT_EQ(s.fields[i].sync_mark, i % 60 == 0) << "field " << i;
  // 60 fields of 133.4667 microframes start 8008 microframes apart: 1.001 s.
  EXPECT_EQ(s.marks, (std::vector<uint64_t>{0, 8008, 16016}));
  EXPECT_EQ(s.marks, (std::vector<uint64_t>{s.field_starts[0], s.field_starts[60], s.field_starts[120]}));
}

TEST(sync_mark_stream, microframes_nobody_took_still_have_their_marks) {
  video_stream stream;
  std::vector<uint8_t> packet(stick_hw::iso_packet_size);
  const stream_geometry g{288, 1440, false, {}};
  for (int i = 0; i < 100; ++i) stream.next_packet(g, packet.data(), int(packet.size()));
  EXPECT_EQ(stream.take_marks(), std::vector<uint64_t>{0});
  stream.skip(20000, g);
  EXPECT_EQ(stream.take_marks(), (std::vector<uint64_t>{8000, 16000}));
  EXPECT_TRUE(stream.take_marks().empty());
}

// --- the field clock of the in-process adapter

// The bus schedule places every microframe from one origin: a long run of
// transfers and idle stretches lands on the same grid as one computed in a
// single step.
TEST(stick_clock, the_schedule_stays_on_its_grid_over_hours) {
  for (double ppm : {0.0, 1000.0, -1000.0, 300.0, -37.5}) {
    bus_schedule schedule(ppm);
    const double period = 125000.0 / (1.0 + ppm * 1e-6);
    EXPECT_DOUBLE_EQ(schedule.period_ns(), period);
    const int64_t origin = 1'000'000'000;
    bus_schedule::slot first = schedule.queue(origin, 64);
    EXPECT_EQ(first.start_ns, origin);
    uint64_t microframes = 64;
    int64_t end = first.end_ns;
    // Two hours of 64-packet transfers, the bus idling 3.3 ms before every
    // hundredth.
    for (int i = 1; i < 2 * 3600 * 8000 / 64; ++i) {
      const int64_t now = i % 100 == 0 ? end + 3'300'000 : end - 1000;
      const bus_schedule::slot s = schedule.queue(now, 64);
      if (i % 100 == 0) {
        ASSERT_EQ(s.skipped_from_ns, end);
        ASSERT_LE(s.start_ns, now + 1);
        ASSERT_GT(s.start_ns + int64_t(period), now);
      } else {
        ASSERT_EQ(s.start_ns, end) << "transfer " << i;
        ASSERT_EQ(s.skipped, 0u);
      }
      microframes += s.skipped;
      ASSERT_LE(std::llabs(s.start_ns - (origin + std::llround(double(microframes) * period))), 1) << "transfer " << i;
      microframes += 64;
      end = s.end_ns;
    }
    EXPECT_LE(std::llabs(end - (origin + std::llround(double(microframes) * period))), 1) << ppm;
  }
}

// A paced stick streaming with its clock N ppm fast or slow puts its marks
// 8000 microframes of 125 us / (1 + N * 1e-6) apart on the bus, whether a
// mark falls in a transfer or in a stretch nobody queued one for. The
// times are the bus schedule's, so how fast this machine runs the test
// does not matter.
TEST(stick_clock, marks_follow_the_field_clock_fast_or_slow) {
  for (double ppm : {1000.0, -250.0}) {
    in_process_backend backend;
    auto stick = std::make_shared<virtual_stick>();
    backend.add(stick);
    backend.set_paced(true);
    backend.set_clock_ppm(ppm);
    std::vector<int64_t> marks;
    backend.set_sync_mark_listener([&marks](std::chrono::steady_clock::time_point t) {
      marks.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    });
    iso_stream stream(backend);
    ASSERT_TRUE(stream.ok());
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // One transfer at a time, with a pause after each: the bus idles often.
    while (marks.size() < 2 && std::chrono::steady_clock::now() < give_up) {
      ASSERT_TRUE(stream.transfer());
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_EQ(marks.size(), 2u) << "ppm " << ppm;
    const double apart = 8000 * 125000.0 / (1.0 + ppm * 1e-6);
    for (size_t i = 1; i < marks.size(); ++i)
      EXPECT_LE(std::abs(double(marks[i] - marks[i - 1]) - apart), 2.0) << "ppm " << ppm << ", mark " << i;
  }
}

// --- the clicks in the stick's sound

// The sound as a list of stereo frames rendered in pieces of `piece`.
std::vector<int16_t> render(sound_track& track, size_t frames, size_t piece) {
  std::vector<int16_t> out(frames * 2);
  for (size_t done = 0; done < frames; done += piece)
    track.render(out.data() + 2 * done, std::min(piece, frames - done));
  return out;
}

int16_t tone_at(int64_t i) {
  return int16_t(std::lround(sound_track::tone_peak * std::sin(2 * 3.14159265358979323846 * double(i % 48) / 48.0)));
}

TEST(stick_sound_track, a_click_lands_on_the_sample_of_its_time) {
  const int64_t origin = 5'000'000'000;
  sound_track track(origin);
  // 1 s and 10 us: 48000.48 samples, so sample 48000; 2.5 s exactly; a
  // time given out of order.
  EXPECT_TRUE(track.add_click(origin + 1'000'010'000));
  EXPECT_TRUE(track.add_click(origin + 2'500'000'000));
  EXPECT_TRUE(track.add_click(origin + 1'500'011'000));  // 72000.53: sample 72001
  // Pieces of 1000 frames: the click at 48000 falls across two of them.
  const std::vector<int16_t> sound = render(track, 3 * 48000, 1000);
  const std::vector<int64_t> clicks{48000, 72001, 120000};
  for (int64_t i = 0; i < 3 * 48000; ++i) {
    int16_t want = tone_at(i);
    for (int64_t c : clicks)
      if (i >= c && i < c + sound_track::click_length)
        want = i - c < sound_track::click_length / 2 ? int16_t(32767) : int16_t(-32767);
    ASSERT_EQ(sound[size_t(2 * i)], want) << "sample " << i;
    ASSERT_EQ(sound[size_t(2 * i + 1)], want) << "sample " << i;
  }
  EXPECT_EQ(track.clicks(), 3u);
  EXPECT_EQ(track.late_clicks(), 0u);
}

TEST(stick_sound_track, a_click_whose_sample_was_written_is_left_out_and_counted) {
  const int64_t origin = 0;
  sound_track track(origin);
  render(track, 48000, 4800);
  EXPECT_FALSE(track.add_click(999'000'000));   // sample 47952: gone
  EXPECT_TRUE(track.add_click(1'000'000'000));  // sample 48000: the next one
  const std::vector<int16_t> sound = render(track, 480, 480);
  EXPECT_EQ(sound[0], 32767);
  EXPECT_EQ(track.late_clicks(), 1u);
  EXPECT_EQ(track.clicks(), 1u);
  EXPECT_EQ(track.sample_at(origin + 20'833), 1);  // 1/48000 s is 20833.3 ns
  EXPECT_EQ(track.time_of(48000), origin + 1'000'000'000);
}

}  // namespace
