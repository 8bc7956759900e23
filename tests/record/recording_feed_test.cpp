// The recording feed: fields woven into the recording frame at their row
// parity, and one frame handed to the encoder per flag-clear field.
#include "record/recording_feed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "record/recorder.h"
#include "tests/support/recorder_probe.h"

namespace {

constexpr int width = 720;

// A field whose every byte says where it came from: field id, plane, row.
std::vector<uchar> make_field(int id, int lines) {
  std::vector<uchar> field(size_t(width) * lines * 2);
  for (int row = 0; row < lines; ++row)
    for (int x = 0; x < width; ++x) field[size_t(row) * width + x] = uchar(id * 37 + row * 3 + x);
  uchar* chroma = field.data() + size_t(width) * lines;
  for (int row = 0; row < 2 * lines; ++row)  // Cb rows, then Cr rows
    for (int x = 0; x < width / 2; ++x) chroma[size_t(row) * width / 2 + x] = uchar(id * 53 + 128 + row * 5 + x);
  return field;
}

// Checks that the frame carries `field` on rows of parity `odd`, plane by plane.
void expect_woven(const uchar* frame, const std::vector<uchar>& field, int lines, bool odd) {
  const int height = 2 * lines, half = width / 2;
  const uchar* field_chroma = field.data() + size_t(width) * lines;
  const uchar* cb = frame + size_t(width) * height;
  const uchar* cr = cb + size_t(half) * height;
  for (int i = 0; i < lines; ++i) {
    const int row = 2 * i + (odd ? 1 : 0);
    ASSERT_EQ(std::memcmp(frame + size_t(row) * width, field.data() + size_t(i) * width, width), 0) << "Y row " << row;
    ASSERT_EQ(std::memcmp(cb + size_t(row) * half, field_chroma + size_t(i) * half, half), 0) << "Cb row " << row;
    ASSERT_EQ(std::memcmp(cr + size_t(row) * half, field_chroma + size_t(lines + i) * half, half), 0)
        << "Cr row " << row;
  }
}

struct weave : ::testing::TestWithParam<int> {};

TEST_P(weave, each_field_lands_on_its_parity_in_every_plane) {
  const int lines = GetParam();
  std::vector<uchar> frame(recording_frame_bytes, 0xEE);
  const std::vector<uchar> even = make_field(1, lines), odd = make_field(2, lines);
  weave_encoder_field(even.data(), frame.data(), width, lines, 2.0, false);
  weave_encoder_field(odd.data(), frame.data(), width, lines, 2.0, true);
  expect_woven(frame.data(), even, lines, false);
  expect_woven(frame.data(), odd, lines, true);
  // Nothing beyond the frame is touched.
  const size_t used = size_t(width) * 2 * lines * 2;
  for (size_t i = used; i < recording_frame_bytes; ++i) ASSERT_EQ(frame[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(recording_feed, weave, ::testing::Values(288, 240));

struct hand_over : ::testing::Test {
  recorder encoder;
  void SetUp() override { recorder_probe::take_input(encoder); }  // as while recording, without the thread
  // Where the queued frames' bytes are, oldest first.
  std::vector<const uchar*> queued() {
    return recorder_probe::with_queues(encoder, [](const auto& video, const auto&) {
      std::vector<const uchar*> frames;
      for (const frame_buffer& frame : video) frames.push_back(frame.data());
      return frames;
    });
  }
};

TEST_F(hand_over, a_frame_per_flag_clear_field_the_odd_rows_carried_over) {
  const int lines = 288;
  frame_buffer frame = frame_buffer::allocate(recording_frame_bytes);
  std::memset(frame.data(), 0, recording_frame_bytes);
  // A recording that starts on a flag-clear field hands nothing over until a
  // flag-set field has filled the odd rows.
  bool odd_field_seen = false;
  const std::vector<uchar> leading = make_field(99, lines);
  frame = record_encoder_field(encoder, leading.data(), std::move(frame), width, lines, 2.0, false, &odd_field_seen);
  EXPECT_TRUE(queued().empty());
  const bool flags[] = {true, false, true, false, false, true, false};
  std::vector<std::vector<uchar>> fields;
  for (size_t i = 0; i < std::size(flags); ++i) {
    fields.push_back(make_field(int(i), lines));
    frame = record_encoder_field(encoder, fields.back().data(), std::move(frame), width, lines, 2.0, flags[i],
                                 &odd_field_seen);
  }
  const std::vector<const uchar*> frames = queued();
  ASSERT_EQ(frames.size(), 4u);
  // Which fields each frame must carry: (even rows, odd rows).
  const std::pair<int, int> expected[] = {{1, 0}, {3, 2}, {4, 2}, {6, 5}};
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    expect_woven(frames[i], fields[size_t(expected[i].first)], lines, false);
    expect_woven(frames[i], fields[size_t(expected[i].second)], lines, true);
  }
  // The frame being woven still holds the last odd field.
  expect_woven(frame.data(), fields[5], lines, true);
}

frame_buffer no_memory(size_t) { return {}; }

TEST_F(hand_over, without_memory_for_the_copy_the_frame_stays_and_counts_as_dropped) {
  frame_buffer frame = frame_buffer::allocate(recording_frame_bytes);
  std::memset(frame.data(), 7, recording_frame_bytes);
  const uchar* original = frame.data();
  uint reported = 0;
  QObject::connect(&encoder, &recorder::dropped_frames, [&](uint n) { reported += n; });
  frame_buffer kept = hand_over_recording_frame(encoder, std::move(frame), no_memory);
  EXPECT_EQ(kept.data(), original);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(reported, 1u);
  EXPECT_EQ(encoder.counters().frames_dropped, 1u);

  frame_buffer copy = hand_over_recording_frame(encoder, std::move(kept));
  ASSERT_NE(copy.data(), original);
  EXPECT_EQ(queued(), std::vector<const uchar*>{original});
  EXPECT_EQ(std::memcmp(copy.data(), original, recording_frame_bytes), 0);
}

// A frame's memory is used again by the next frame of its size, a few
// frames' worth at most is kept, and a change of size lets the old go.
TEST(frame_memory, a_frame_let_go_is_the_next_one_taken_and_no_more_than_a_few_are_kept) {
  frame_memory::clear();
  const uint8_t* first = nullptr;
  {
    frame_buffer frame = frame_buffer::allocate(1000);
    first = frame.data();
  }
  EXPECT_EQ(frame_memory::kept(), 1);
  EXPECT_EQ(frame_buffer::allocate(1000).data(), first);

  // Taken over by a new owner and let go by it (the encoder's way).
  frame_buffer frame = frame_buffer::allocate(1000);
  const size_t size = frame.size();
  frame_memory::give_back(frame.release(), size);
  EXPECT_EQ(frame_memory::kept(), 1);

  std::vector<frame_buffer> many;
  for (int i = 0; i < 3 * frame_memory::kept_at_most; ++i) many.push_back(frame_buffer::allocate(1000));
  many.clear();
  EXPECT_EQ(frame_memory::kept(), frame_memory::kept_at_most);

  // Another standard's frames.
  { frame_buffer other = frame_buffer::allocate(2000); }
  EXPECT_EQ(frame_memory::kept(), 1);
  frame_memory::clear();
}

}  // namespace
