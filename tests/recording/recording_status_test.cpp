// A recording left alone: the title tells how it goes, and a time limit
// ends it by itself with a complete file.
#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/avi_file.h"
#include "tests/support/window_fixture.h"

namespace {

struct recording_status : recording_window_fixture {
  // The title's elapsed seconds and lost fields; false while it says
  // something else.
  bool read_title(int* seconds, int* lost, QString* size = nullptr) {
    static const QRegularExpression form(
        R"(^Ostrevin - recording (\d+):(\d\d):(\d\d)(?: of \d+:\d\d:\d\d)? - ([\d.]+ [MG]B) - (\d+) fields? lost$)");
    const QRegularExpressionMatch m = form.match(window->windowTitle());
    if (!m.hasMatch()) return false;
    *seconds = (m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 + m.captured(3).toInt();
    *lost = m.captured(5).toInt();
    if (size) *size = m.captured(4);
    return true;
  }
};

TEST_F(recording_status, the_title_tells_time_size_and_lost_fields_then_returns_to_the_name) {
  open_streaming();
  EXPECT_EQ(window->windowTitle(), "Ostrevin");
  start_recording(captures.filePath("status"));

  int seconds = -1, lost = -1;
  QString size;
  ASSERT_TRUE(QTest::qWaitFor([&] { return read_title(&seconds, &lost, &size) && seconds >= 1; }, 15000))
      << window->windowTitle().toStdString();
  const int first = seconds;
  EXPECT_NE(size, "0.0 MB");
  ASSERT_TRUE(QTest::qWaitFor([&] { return read_title(&seconds, &lost) && seconds >= first + 2; }, 15000))
      << "the elapsed time does not advance: " << window->windowTitle().toStdString();

  // Three seconds without a picture: those frames are repeats in the file,
  // and the title counts their fields as lost, as they happen.
  const int lost_before = lost;
  stick_faults faults = stick->faults();
  faults.stalled = true;
  stick->set_faults(faults);
  QTest::qWait(3000);
  faults.stalled = false;
  stick->set_faults(faults);
  ASSERT_TRUE(QTest::qWaitFor([&] { return read_title(&seconds, &lost) && lost >= lost_before + 100; }, 15000))
      << window->windowTitle().toStdString();
  EXPECT_TRUE(parts->recording.is_recording());
  EXPECT_LE(lost, parts->recording.fields_lost()) << "the title shows the window's own count, which only grows";

  menu_item("&File", "&Stop capture")->trigger();
  EXPECT_EQ(window->windowTitle(), "Ostrevin");
  EXPECT_GE(parts->recording.fields_lost(), 2 * parts->recording.recorder().counters().frames_repeated);
}

TEST_F(recording_status, a_time_limit_ends_the_recording_by_itself_with_a_whole_file) {
  // Set from the menu: hours and minutes, off by default.
  open_streaming();
  EXPECT_EQ(parts->recording.stop_after_ms(), 0);
  on_next_modal<QDialog>([](QDialog* dialog) {
    dialog->findChild<QSpinBox*>("hours")->setValue(1);
    dialog->findChild<QSpinBox*>("minutes")->setValue(30);
    dialog->accept();
  });
  menu_item("&File", "Stop &after...")->trigger();
  EXPECT_EQ(parts->recording.stop_after_ms(), 90 * 60000);
  on_next_modal<QDialog>([](QDialog* dialog) { dialog->reject(); });
  menu_item("&File", "Stop &after...")->trigger();
  EXPECT_EQ(parts->recording.stop_after_ms(), 90 * 60000) << "cancelled: unchanged";

  // Five seconds (the command line's --stop-after 5s) for the test's sake.
  parts->recording.set_stop_after_ms(5000);
  start_recording(captures.filePath("limited"));
  int seconds = -1, lost = -1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return read_title(&seconds, &lost); }, 10000));
  EXPECT_TRUE(window->windowTitle().contains(" of 0:00:05")) << window->windowTitle().toStdString();

  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->recording.is_recording(); }, 60000)) << "the limit did not end it";
  EXPECT_EQ(window->windowTitle(), "Ostrevin - recording stopped at its time limit (0:00:05)");
  EXPECT_TRUE(notice_text(*window).contains("stopped at its time limit. limited.avi holds 0:00:05 and is complete"))
      << notice_text(*window).toStdString();
  EXPECT_TRUE(menu_item("&File", "&Capture")->isEnabled());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "nothing to answer";

  const pattern_avi r = read_pattern_avi(captures.filePath("limited.avi"));
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_TRUE(r.has_index);
  EXPECT_EQ(r.decode_errors, 0);
  EXPECT_NEAR(r.video_seconds(), 5.0, 1.0 / 25 + 1e-9);
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 1.0 / 25);

  // The next recording starts with a name in the title again and the same
  // limit.
  menu_item("&File", "&Capture")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return read_title(&seconds, &lost); }, 10000))
      << window->windowTitle().toStdString();
  menu_item("&File", "&Stop capture")->trigger();
  EXPECT_EQ(window->windowTitle(), "Ostrevin");
}

// The stick silent from the start: a recording begun before its first
// field still records the fields that come once it streams.
TEST_F(recording_status, a_recording_started_before_the_first_field_records_what_follows) {
  stick_faults faults = stick->faults();
  faults.stalled = true;
  stick->set_faults(faults);
  open_window();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->sound.is_running(); }, 10000)) << "the stick never streamed";
  ASSERT_EQ(parts->capture.assembled_fields(), 0u);
  start_recording(captures.filePath("early"));
  QTest::qWait(500);
  faults.stalled = false;
  stick->set_faults(faults);
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_received > 25; }, 15000))
      << "no frame reached the recording: " << parts->recording.recorder().counters().frames_repeated << " repeats";
  menu_item("&File", "&Stop capture")->trigger();
}

}  // namespace
