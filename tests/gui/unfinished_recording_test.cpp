// A recording a crash left unfinished is repaired when the program next
// starts, and the window says what it holds; the start after that finds
// nothing to do.
#include <gtest/gtest.h>

#include <QFile>
#include <QTest>
#include <cstring>

#include "record/avi_repair.h"
#include "record/frame_buffer.h"
#include "record/recording_journal.h"
#include "tests/support/window_fixture.h"

namespace {

struct unfinished_recording : window_fixture {
  // A short recording's file as it stood on the disk while it was being
  // written, put back in place of the finished one, with its note.
  QString leave_unfinished(const QString& base) {
    recorder encoder;
    recording_settings settings;
    settings.base_name = base;
    encoder.start_recording(settings);
    EXPECT_TRUE(QTest::qWaitFor([&] { return encoder.counters().passes >= 1; }, 10000));
    for (int i = 0; i < 20; ++i) {
      encoder.add_audio(QByteArray(7680, '\0'));  // one frame's sound
      frame_buffer frame = frame_buffer::allocate(829440);
      std::memset(frame.data(), 16 + i, 829440);
      encoder.add_video_frame(std::move(frame));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return encoder.counters().frames_in_file >= 19; }, 10000));
    const QString file = encoder.file_name();
    QFile written(file);
    EXPECT_TRUE(written.open(QIODevice::ReadOnly));
    const QByteArray unfinished = written.readAll();
    written.close();
    encoder.request_stop();
    encoder.wait();
    QFile out(file);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(unfinished.left(unfinished.size() - 1000));  // the last chunk torn too
    out.close();
    EXPECT_FALSE(recording_journal::begin(recording_journal::default_directory(), file).isEmpty());
    return file;
  }
};

TEST_F(unfinished_recording, is_repaired_at_the_next_start_and_told_once) {
  const QString file = leave_unfinished(home.filePath("tape"));
  ASSERT_EQ(recording_journal::unfinished(recording_journal::default_directory()).size(), 1);

  open_window();
  ASSERT_TRUE(QTest::qWaitFor([&] { return notice_text(*window).contains("tape.avi"); }, 20000))
      << notice_text(*window).toStdString();
  EXPECT_TRUE(notice_text(*window).contains("did not end normally; it has been repaired and holds"))
      << notice_text(*window).toStdString();
  EXPECT_TRUE(notice_text(*window).contains(" frames")) << notice_text(*window).toStdString();
  EXPECT_TRUE(recording_journal::unfinished(recording_journal::default_directory()).isEmpty());
  const avi_repair_result whole = repair_avi(file);
  EXPECT_TRUE(whole.ok && whole.was_whole) << whole.error.toStdString();
  EXPECT_GE(whole.video_frames, 10);

  // The next start: nothing to repair, nothing said.
  window.reset();
  open_window();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->display.pictures_shown() >= 5; }, 20000));
  EXPECT_TRUE(notice_text(*window).isEmpty()) << notice_text(*window).toStdString();
}

TEST_F(unfinished_recording, that_holds_no_whole_frame_is_told_and_left_as_it_was) {
  const QString file = leave_unfinished(home.filePath("early"));
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::ReadWrite));
  const QByteArray all = f.readAll();
  const qsizetype first_frame = all.indexOf("00dc", all.indexOf("movi"));
  ASSERT_GT(first_frame, 0);
  ASSERT_TRUE(f.resize(first_frame + 100));  // killed before its first frame was whole
  f.close();
  const QByteArray before = all.left(first_frame + 100);

  open_window();
  ASSERT_TRUE(QTest::qWaitFor([&] { return notice_text(*window).contains("early.avi"); }, 20000))
      << notice_text(*window).toStdString();
  EXPECT_TRUE(notice_text(*window).contains("holds no whole frame")) << notice_text(*window).toStdString();
  EXPECT_TRUE(recording_journal::unfinished(recording_journal::default_directory()).isEmpty());
  QFile after(file);
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_TRUE(after.readAll() == before);
}

TEST_F(unfinished_recording, whose_file_is_gone_is_kept_for_later_and_not_told) {
  const QString file = leave_unfinished(home.filePath("elsewhere"));
  ASSERT_TRUE(QFile::rename(file, home.filePath("moved.avi")));
  open_window();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->display.pictures_shown() >= 5; }, 20000));
  EXPECT_TRUE(notice_text(*window).isEmpty()) << notice_text(*window).toStdString();
  // A disk that is not plugged in now may be at the next start.
  EXPECT_EQ(recording_journal::unfinished(recording_journal::default_directory()).size(), 1);
}

}  // namespace
