// A recording on a disk with little room: the start asks, and the recording
// stops by itself before the disk is full, its file complete and indexed.
// The disk is a small tmpfs of the test's own, which needs root (CI runs as
// root); elsewhere the test is skipped and says why.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/avi_file.h"
#include "tests/support/small_file_system.h"
#include "tests/support/window_fixture.h"

namespace {

struct disk_space : recording_window_fixture {
  // Clicks the button named `text` on the next message box, and keeps what
  // it said.
  void answer_next_box(const QString& text, QString* said) {
    on_next_modal<QMessageBox>([text, said](QMessageBox* box) {
      *said = box->text();
      for (QAbstractButton* button : box->buttons())
        if (button->text() == text) {
          button->click();
          return;
        }
      ADD_FAILURE() << "no button " << text.toStdString() << " on: " << box->text().toStdString();
      box->close();
    });
  }
};

TEST_F(disk_space, a_disk_with_room_for_30_s_asks_first_and_the_recording_stops_before_it_is_full) {
  open_streaming();

  // How fast this stick's picture fills a file: three seconds recorded on
  // the ordinary disk.
  parts->recording.set_stop_after_ms(3000);
  choose_capture_file(captures.filePath("rate"));
  menu_item("&File", "&Capture")->trigger();
  ASSERT_TRUE(parts->recording.is_recording()) << "the ordinary disk asked: " << window->windowTitle().toStdString();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->recording.is_recording(); }, 60000));
  const double bytes_per_second = double(QFileInfo(captures.filePath("rate.avi")).size()) / 3.0;
  ASSERT_GT(bytes_per_second, 1e5);
  parts->recording.set_stop_after_ms(0);

  const small_file_system disk(int64_t(bytes_per_second * 30.0));
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << disk.error() << "): needs root";
  choose_capture_file(disk.path("tape"));

  // Cancel: nothing starts, no file is made.
  QString question;
  answer_next_box("Cancel", &question);
  menu_item("&File", "&Capture")->trigger();
  EXPECT_FALSE(parts->recording.is_recording());
  EXPECT_TRUE(question.contains("room for about 0:00:")) << question.toStdString();
  EXPECT_TRUE(question.contains(QFileInfo(disk.path("tape")).absolutePath())) << question.toStdString();
  EXPECT_FALSE(QFileInfo::exists(disk.path("tape.avi")));
  EXPECT_FALSE(window->windowTitle().contains("recording 0:")) << window->windowTitle().toStdString();

  // Record anyway: it runs until the disk is nearly full, then stops by
  // itself and says so.
  answer_next_box("Record anyway", &question);
  menu_item("&File", "&Capture")->trigger();
  ASSERT_TRUE(parts->recording.is_recording());
  QString message;
  answer_next_box("OK", &message);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->recording.is_recording(); }, 120000)) << "it never stopped";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !message.isEmpty(); }, 5000));
  EXPECT_TRUE(message.contains("The disk is full")) << message.toStdString();
  EXPECT_EQ(window->windowTitle(), "Ostrevin - recording stopped: the disk is full");
  EXPECT_TRUE(parts->recording.recorder().counters().stopped_by_full_disk);
  EXPECT_GT(disk.free_bytes(), 0) << "the disk was filled";

  const pattern_avi r = read_pattern_avi(disk.path("tape.avi"));
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_TRUE(r.has_index);
  EXPECT_EQ(r.decode_errors, 0);
  EXPECT_GT(r.video_seconds(), 5.0) << "the room there was went unused";
  EXPECT_LT(r.video_seconds(), 30.0);
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 1.0 / 25);
  int indexed = 0;
  const int sought = seekable_frames(disk.path("tape.avi"), &indexed);
  EXPECT_EQ(indexed, int(r.frames.size()));
  EXPECT_EQ(sought, indexed) << "frames FFmpeg cannot seek to";
}

}  // namespace
