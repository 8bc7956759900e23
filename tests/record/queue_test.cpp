// The main thread's side of the recorder: audio cut into chunks, frames
// queued and bounded, input refused while stopped. The recorder's thread is
// not started, so the queues hold exactly what was handed over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "record/recorder.h"
#include "tests/support/recorder_probe.h"
#include "tests/support/synthetic_media.h"

namespace {

struct queues : ::testing::Test {
  recorder encoder;
  int64_t sent = 0;

  void SetUp() override { recorder_probe::take_input(encoder, bounds()); }
  static recording_tuning bounds() {
    recording_tuning t;
    t.max_queued_frames = 10;
    return t;
  }
  void send(int64_t count) {
    encoder.add_audio(QByteArray(audio_bytes(sent, count)));
    sent += count;
  }
  // The queued chunks, in order, as one stream.
  QByteArray queued_audio() {
    return recorder_probe::with_queues(encoder, [](const auto&, const auto& audio) {
      QByteArray all;
      for (const QByteArray& chunk : audio) {
        EXPECT_EQ(chunk.size(), 1000);
        all += chunk;
      }
      return all;
    });
  }
  int queued_frames() { return int(recorder_probe::queued_frames(encoder)); }
  int frame_number(int index) {
    return recorder_probe::with_queues(encoder, [&](const auto& video, const auto&) {
      int number = -1;
      std::memcpy(&number, video.at(size_t(index)).data(), sizeof number);
      return number;
    });
  }
  QByteArray pending_audio() const { return recorder_probe::pending_audio(encoder); }
};

TEST_F(queues, blocks_of_any_length_become_whole_chunks_in_order) {
  for (int64_t length : {0, 1, 999, 1000, 1001, 4567, 0, 3}) send(length);
  for (int i = 0; i < 3000; ++i) send(1 + i % 5);  // many tiny blocks
  const QByteArray queued = queued_audio();
  EXPECT_EQ(queued.size(), sent / 1000 * 1000);
  EXPECT_TRUE(queued == audio_bytes(0, queued.size())) << "bytes lost, repeated or reordered";
  EXPECT_TRUE(pending_audio() == audio_bytes(queued.size(), sent % 1000));
}

TEST_F(queues, audio_waits_until_the_chunk_size_is_known) {
  recorder_probe::set_chunk_bytes(encoder, 0);  // no audio stream opened yet
  send(2500);
  send(700);
  EXPECT_TRUE(queued_audio().isEmpty());
  EXPECT_EQ(pending_audio().size(), 3200);

  recorder_probe::set_chunk_bytes(encoder, 1000);
  send(10);
  EXPECT_TRUE(queued_audio() == audio_bytes(0, 3000));
  EXPECT_TRUE(pending_audio() == audio_bytes(3000, 210));
}

// A stop takes no more frames, but the sound of the last ones comes after
// them: it is taken until the recorder has all it writes (sound_closed).
TEST_F(queues, nothing_is_taken_once_stopped_or_failed_but_the_last_sound) {
  send(1500);
  struct flag_case {
    std::atomic<bool>* flag;
    bool sound_taken;
  };
  int64_t queued = 1000;
  std::atomic<bool>* const sound_closed = &recorder_probe::sound_closed(encoder);
  for (const flag_case& c : {flag_case{&recorder_probe::stop_requested(encoder), true}, flag_case{sound_closed, false},
                             flag_case{&recorder_probe::failed(encoder), false}}) {
    *c.flag = true;
    send(5000);
    if (c.flag != sound_closed) {
      encoder.add_video_frame(new_frame(1, 288));  // released, or LeakSanitizer tells
      EXPECT_EQ(queued_frames(), 0);
    }
    if (c.sound_taken) queued += 5000;
    EXPECT_EQ(queued_audio().size(), queued);
    EXPECT_EQ(pending_audio().size(), 500);
    *c.flag = false;
  }
}

TEST_F(queues, a_full_video_queue_drops_the_oldest_and_reports_each) {
  std::vector<uint> reported;
  QObject::connect(&encoder, &recorder::dropped_frames, [&](uint n) { reported.push_back(n); });
  for (int i = 0; i < 25; ++i) encoder.add_video_frame(new_frame(i, 288));
  EXPECT_EQ(queued_frames(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(frame_number(i), 15 + i);
  EXPECT_EQ(std::accumulate(reported.begin(), reported.end(), 0u), 15u);
  EXPECT_EQ(encoder.counters().frames_dropped, 15u);

  encoder.count_dropped_frames(1);  // a frame lost before the queue
  EXPECT_EQ(encoder.counters().frames_dropped, 16u);
  EXPECT_EQ(reported.back(), 1u);
}

}  // namespace
