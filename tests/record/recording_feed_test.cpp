// The recording feed: fields woven into the recording frame at their row
// parity, and one frame handed to the encoder per picture of the signal.
#include "record/recording_feed.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
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

// Where the frames queued in `r` have their bytes, oldest first (null: a repeat).
std::vector<const uchar*> queued_frames(recorder& r) {
  return recorder_probe::with_queues(r, [](const auto& video, const auto&) {
    std::vector<const uchar*> frames;
    for (const frame_buffer& frame : video) frames.push_back(frame.data());
    return frames;
  });
}

struct hand_over : ::testing::Test {
  recorder encoder;
  void SetUp() override { recorder_probe::take_input(encoder); }  // as while recording, without the thread
  std::vector<const uchar*> queued() { return queued_frames(encoder); }
};

// Fields numbered as the stick numbers them (serial s is its field s - 1;
// fields 2p and 2p + 1 make picture p), some lost on the way. A recording
// starts on a picture's later field, which hands nothing over.
TEST_F(hand_over, each_frame_is_one_picture_of_the_signal_and_a_lost_field_leaves_the_account_whole) {
  struct case_t {
    const char* name;
    uint64_t lost;  // serial of the field that never came; 0: none
    // The frames queued, as (earlier, later) serials; {0, 0} is a repeat of
    // the frame before, for a frame period without a frame.
    std::vector<std::pair<uint64_t, uint64_t>> frames;
    int64_t damaged;
  };
  const case_t cases[] = {
      {"no field lost", 0, {{3, 4}, {5, 6}, {7, 8}, {9, 10}}, 0},
      {"a later field lost: its period repeats the frame before", 6, {{3, 4}, {0, 0}, {7, 8}, {9, 10}}, 0},
      {"an earlier field lost: the frame carries an older one", 7, {{3, 4}, {5, 6}, {5, 8}, {9, 10}}, 1},
  };
  for (const int lines : {288, 240}) {
    // Flag set: the bottom field. A picture starts with its top field at 50 Hz, its bottom field at 60 Hz.
    const bool earlier_flag = lines == 240;
    for (const case_t& c : cases) {
      SCOPED_TRACE(testing::Message() << lines << " lines, " << c.name);
      recorder feed;
      recorder_probe::take_input(feed);
      recording_feed_state state;
      frame_buffer frame = frame_buffer::allocate(recording_frame_bytes);
      std::memset(frame.data(), 0, recording_frame_bytes);
      std::map<uint64_t, std::vector<uchar>> fields;
      for (uint64_t serial = 2; serial <= 11; ++serial) {
        if (serial == c.lost) continue;
        const bool earlier = serial % 2 == 1;
        fields[serial] = make_field(int(serial), lines);
        frame = record_numbered_field(feed, fields[serial].data(), std::move(frame), width, lines, 2.0,
                                      earlier ? earlier_flag : !earlier_flag, serial, -1, &state);
      }
      const std::vector<const uchar*> queued = queued_frames(feed);
      ASSERT_EQ(queued.size(), c.frames.size()) << "one frame or repeat for every frame period";
      for (size_t i = 0; i < c.frames.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i);
        const auto [earlier, later] = c.frames[i];
        if (earlier == 0) {
          EXPECT_EQ(queued[i], nullptr);
          continue;
        }
        ASSERT_NE(queued[i], nullptr);
        expect_woven(queued[i], fields[earlier], lines, earlier_flag);
        expect_woven(queued[i], fields[later], lines, !earlier_flag);
      }
      EXPECT_EQ(state.fields_missing, c.lost ? 1 : 0);
      EXPECT_EQ(feed.counters().frames_damaged, c.damaged);
      // The frame being woven holds the next picture's earlier field.
      expect_woven(frame.data(), fields[11], lines, earlier_flag);
    }
  }
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
