// How much room a recording leaves on its disk: the file's end always fits,
// and a recording that keeps a minute free stops while the disk still has a
// minute of it, its file whole. On small tmpfs disks of the test's own.
#include <gtest/gtest.h>

#include <QFileInfo>

#include "record/file_sink.h"
#include "tests/record/recording_fixture.h"
#include "tests/support/small_file_system.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace {

// Writes 1 MiB blocks through a sink until it says the disk is low; the
// file's size then.
int64_t bytes_until_low(file_sink& sink, const QString& path) {
  if (sink.open(QFile::encodeName(path)) < 0) return -1;
  const QByteArray block(1 << 20, 'x');
  for (int i = 0; i < 1000 && !sink.space_low(); ++i)
    avio_write(sink.io(), reinterpret_cast<const unsigned char*>(block.constData()), block.size());
  avio_flush(sink.io());
  const int64_t size = sink.size();
  EXPECT_EQ(sink.close(), 0);
  return size;
}

TEST(disk_room, the_room_kept_free_is_left_on_the_disk_and_not_taken_from_the_size_limit) {
  const int64_t mib = 1 << 20;
  const small_file_system disk(64 * mib);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.error() << "): needs root";

  file_sink plain;
  plain.reserve_bytes = 4 * mib;
  const int64_t without = bytes_until_low(plain, disk.path("plain"));
  // Low once less than the reserve is left: the block in hand and the
  // write buffer may still go into it.
  EXPECT_GE(without, 56 * mib) << "the disk filled up to the file's own reserve";
  EXPECT_LE(without, 62 * mib);
  QFile::remove(disk.path("plain"));

  file_sink keeping;
  keeping.reserve_bytes = 4 * mib;
  keeping.keep_free_bytes = 32 * mib;
  const int64_t with = bytes_until_low(keeping, disk.path("keeping"));
  EXPECT_GE(with, 24 * mib);
  EXPECT_LE(with, 30 * mib) << "it went on past the room it was to keep";
  EXPECT_GE(disk.free_bytes(), 32 * mib) << "what was kept free is free once the file is closed";
  EXPECT_FALSE(keeping.size_limit_near()) << "the room kept free is no part of the file's size limit";
}

struct minute_free : recording {};

// Noisy frames of 720 x 16 (about 45 kB a frame in the file with their
// sound: HuffYUV grows noise), on a disk with room for about two minutes: the recording learns its
// rate, keeps a minute of it free with the index, and stops there.
TEST_F(minute_free, a_recording_stops_with_a_minute_of_itself_still_free_and_its_file_whole) {
  const int64_t mib = 1 << 20;
  const small_file_system disk(128 * mib);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.error() << "): needs root";
  noisy = true;
  field_lines = 8;
  settings.field_lines = field_lines;
  settings.base_name = disk.path("tape");
  settings.reserve_bytes = 2 * mib;
  settings.keep_a_minute_free = true;
  encoder.start_recording(settings);
  ASSERT_TRUE(QTest::qWaitFor([&] { return encoder.counters().passes >= 1 || encoder.isFinished(); }, 10000));
  for (int i = 0; i < 20000 && !encoder.isFinished(); ++i) {
    while (queued_frames() >= 8 && !encoder.isFinished()) QThread::msleep(1);
    feed(1);
  }
  ASSERT_TRUE(failures.wait_for(1)) << "it never stopped";
  ASSERT_TRUE(encoder.wait(30000));
  EXPECT_TRUE(encoder.counters().stopped_by_full_disk);
  EXPECT_NE(failure().find("The disk is full"), std::string::npos) << failure();

  const QString file = disk.path("tape.avi");
  const int64_t size = QFileInfo(file).size();
  const drawn_avi r = read_drawn_avi(file, field_lines, true);
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_TRUE(r.has_index);
  EXPECT_EQ(r.decode_errors, 0);
  EXPECT_TRUE(is_run(r.frames, 0, int(r.frames.size())));
  ASSERT_GT(r.frames.size(), size_t(100)) << "it stopped before it knew its rate: " << size << " bytes";
  const double minute = double(size) / double(r.frames.size()) * 1500.0;
  EXPECT_GE(double(disk.free_bytes()), 0.9 * minute) << "less than a minute of the recording left free";
  EXPECT_LE(double(disk.free_bytes()), 1.6 * minute + double(2 * mib)) << "it stopped with much more room left";
  int indexed = 0;
  EXPECT_EQ(seekable_frames(file, &indexed), int(r.frames.size()));
  EXPECT_EQ(indexed, int(r.frames.size()));
}

}  // namespace
