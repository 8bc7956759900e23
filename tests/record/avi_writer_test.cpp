// The AVI writer on its own: where it says the pictures end against the
// sound, to the sample, and what becomes of a frame it cannot encode, on its
// own and in a recording.
#include "record/avi_writer.h"

#include <gmock/gmock.h>

#include <QTemporaryDir>

#include "record/avi_repair.h"
#include "tests/record/recording_fixture.h"

namespace {

using ::testing::StartsWith;

struct writer : ::testing::Test {
  QTemporaryDir dir;
  avi_writer file;

  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  bool open(const QString& name, bool sixty_hz = false) {
    avi_format format;
    format.rate = sixty_hz ? sixty_hz_frame_rate : pal_frame_rate;
    format.height = sixty_hz ? 480 : 576;
    return file.open(dir.filePath(name), format);
  }
  void write_sound(int chunks) {
    for (int i = 0; i < chunks; ++i) ASSERT_TRUE(file.write_silence());
  }
  void write_pictures(int frames) {
    for (int i = 0; i < frames; ++i) ASSERT_TRUE(file.write_repeated_frame());
  }
};

TEST_F(writer, where_the_streams_end_is_compared_to_the_sample) {
  ASSERT_TRUE(open("pal.avi"));
  EXPECT_EQ(file.chunk_bytes(), 1000u);
  EXPECT_EQ(file.chunk_frames(), 250);
  EXPECT_EQ(file.compare_video_to_sound(), 0);
  EXPECT_EQ(file.sound_short_of_picture(1), 1920);  // 48000 / 25

  write_pictures(1);
  EXPECT_GT(file.compare_video_to_sound(), 0);
  write_sound(7);  // 1750 of the frame's 1920 sample frames
  EXPECT_GT(file.compare_video_to_sound(), 0);
  EXPECT_EQ(file.sound_short_of_picture(0), 170);
  // Half a chunk more still ends short of the picture.
  EXPECT_GT(file.compare_video_to_sound(file.chunk_frames()), 0);
  write_sound(1);
  EXPECT_LT(file.compare_video_to_sound(), 0);
  EXPECT_EQ(file.sound_short_of_picture(0), -80);
  EXPECT_EQ(file.sound_short_of_picture(1), 1840);

  // One second of each: exactly together, and a half sample frame of lead
  // puts the sound ahead.
  write_pictures(24);
  write_sound(184);
  EXPECT_EQ(file.compare_video_to_sound(), 0);
  EXPECT_LT(file.compare_video_to_sound(1), 0);
  EXPECT_EQ(file.sound_short_of_picture(0), 0);
  EXPECT_TRUE(file.close()) << file.failure_message().toStdString();
  EXPECT_TRUE(repair_avi(dir.filePath("pal.avi")).was_whole);
}

TEST_F(writer, a_sixty_hz_frame_is_1601_point_6_sample_frames) {
  ASSERT_TRUE(open("ntsc.avi", true));
  EXPECT_EQ(file.sound_short_of_picture(1), 1602);  // rounded up
  write_pictures(5);                                // 8008 sample frames exactly
  write_sound(32);                                  // 8000
  EXPECT_EQ(file.sound_short_of_picture(0), 8);
  EXPECT_GT(file.compare_video_to_sound(), 0);
  EXPECT_GT(file.compare_video_to_sound(2 * 8 - 1), 0);
  EXPECT_EQ(file.compare_video_to_sound(2 * 8), 0);
  EXPECT_TRUE(file.close()) << file.failure_message().toStdString();
}

// A frame the encoder cannot take fails the write: it is not counted as
// written while the file goes without it.
TEST_F(writer, a_frame_it_cannot_encode_is_a_failure_and_the_file_still_ends_whole) {
  ASSERT_TRUE(open("refused.avi"));
  write_sound(8);
  EXPECT_FALSE(file.write_frame(frame_buffer::allocate(1000)));
  EXPECT_THAT(file.failure_message().toStdString(), StartsWith("Error while encoding video frame: "));
  // The pictures have not moved on.
  EXPECT_EQ(file.sound_short_of_picture(0), -2000);
  // The first failure is the one told.
  EXPECT_FALSE(file.write_frame(frame_buffer()));
  EXPECT_THAT(file.failure_message().toStdString(), StartsWith("Error while encoding video frame: "));
  EXPECT_TRUE(file.close());
  EXPECT_TRUE(repair_avi(dir.filePath("refused.avi")).was_whole);
}

TEST_F(recording, a_frame_the_encoder_cannot_take_ends_the_recording_once) {
  ASSERT_TRUE(start(path("refused")));
  feed(3);
  ASSERT_TRUE(settle());
  encoder.add_audio(QByteArray(audio_bytes(sent_audio.size(), 7680)));
  encoder.add_video_frame(frame_buffer::allocate(1000));
  ASSERT_TRUE(failures.wait_for(1));
  EXPECT_TRUE(encoder.wait(10000));
  EXPECT_TRUE(encoder.counters().failed);
  EXPECT_THAT(failure(), StartsWith("Error while encoding video frame: "));
  EXPECT_EQ(encoder.failure_message().toStdString(), failure());
  QTest::qWait(50);  // a second emission would come right away
  EXPECT_EQ(failures.count(), 1);
  // What came before it is in a whole file.
  const avi_repair_result file = repair_avi(path("refused.avi"));
  EXPECT_TRUE(file.ok && file.was_whole) << file.error.toStdString();
  EXPECT_EQ(file.video_frames, 3);
}

}  // namespace
