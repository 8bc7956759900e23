// What the window tells and keeps when the stick misbehaves while it shows
// or records: pulled out and plugged in again, silent for a while, a damaged
// stream, a bridge that stops answering. The stick is the paced in-process
// one, the sound the test server's.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "tests/support/avi_file.h"
#include "tests/support/window_fixture.h"

namespace {

struct stream_faults : recording_window_fixture {
  // Recording, and frames in the file.
  void start_recording(const QString& name) {
    recording_window_fixture::start_recording(name);
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_in_file > 10; }, 10000));
  }

  void set(const std::function<void(stick_faults&)>& change) {
    stick_faults f = stick->faults();
    change(f);
    stick->set_faults(f);
  }

  bool notice_says(const QString& words, int timeout_ms = 10000) {
    return QTest::qWaitFor([&] { return notice_text(*window).contains(words); }, timeout_ms);
  }
  bool notice_clears(int timeout_ms = 15000) {
    return QTest::qWaitFor([&] { return notice_text(*window).isEmpty(); }, timeout_ms);
  }
};

// Pulled out while recording: the file is finished and complete, the window
// is idle and says what happened; plugged in again, the picture returns
// without a restart.
TEST_F(stream_faults, an_unplug_ends_the_recording_and_the_stick_comes_back) {
  open_streaming();
  start_recording(captures.path() + "/tape");
  const int before = parts->recording.recorder().counters().frames_in_file;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_in_file > before + 25; }, 10000));

  stick->unplug();
  ASSERT_TRUE(notice_says("unplugged"));
  EXPECT_FALSE(parts->recording.is_recording());
  EXPECT_TRUE(menu_item("&File", "&Capture")->isEnabled());
  EXPECT_TRUE(notice_text(*window).contains("The recording stopped because the EasyCap was unplugged"))
      << notice_text(*window).toStdString();
  EXPECT_TRUE(notice_text(*window).contains("tape.avi holds 0:00:0")) << notice_text(*window).toStdString();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "nothing to answer";
  const pattern_avi r = read_pattern_avi(captures.path() + "/tape.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_EQ(r.decode_errors, 0);
  EXPECT_GT(r.frames.size(), size_t(35));
  EXPECT_EQ(int64_t(r.frames.size()), parts->recording.recorder().counters().frames_written());
  EXPECT_NEAR(double(r.frames.size()), double(parts->recording.recorder().counters().frame_periods), 3.0);

  const uint32_t fields = parts->capture.assembled_fields();
  stick->replug();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->capture.assembled_fields() > fields + 10; }, 15000))
      << "the picture did not return";
  EXPECT_TRUE(QTest::qWaitFor([&] { return !notice_text(*window).contains("Plug it in again"); }, 5000));
  EXPECT_TRUE(notice_text(*window).contains("The recording stopped")) << "kept until the next recording";
  EXPECT_TRUE(stick->capture_enabled());
}

// A stick silent for 3 s: told while it lasts, the recording goes on with
// the lost frames repeated, the notice clears when the picture is back.
TEST_F(stream_faults, a_short_stall_is_told_and_recorded_as_lost) {
  open_streaming();
  start_recording(captures.path() + "/stall");
  QTest::qWait(500);
  set([](stick_faults& f) { f.stalled = true; });
  ASSERT_TRUE(notice_says("No picture: the EasyCap has sent nothing for"));
  QTest::qWait(2500);
  set([](stick_faults& f) { f.stalled = false; });
  ASSERT_TRUE(notice_clears());
  EXPECT_TRUE(parts->recording.is_recording());
  QTest::qWait(1000);
  menu_item("&File", "&Stop capture")->trigger();

  recorder& recorder = parts->recording.recorder();
  EXPECT_GE(recorder.counters().frames_repeated, 40) << "about 3 s of frames never came";
  const pattern_avi r = read_pattern_avi(captures.path() + "/stall.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_EQ(int64_t(r.frames.size()), recorder.counters().frames_written());
  EXPECT_NEAR(double(r.frames.size()), double(recorder.counters().frame_periods), 3.0);
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 0.05);
}

// Silent for longer than the limit: the recording ends, complete.
TEST_F(stream_faults, a_long_stall_ends_the_recording) {
  open_streaming();
  start_recording(captures.path() + "/long");
  set([](stick_faults& f) { f.stalled = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return !parts->recording.is_recording(); }, 20000));
  EXPECT_TRUE(notice_text(*window).contains("sent no picture for 10 s")) << notice_text(*window).toStdString();
  const pattern_avi r = read_pattern_avi(captures.path() + "/long.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_NEAR(r.video_seconds(), 10.0, 1.5) << "the silent time is in the file, as on the tape";
  set([](stick_faults& f) { f.stalled = false; });
  EXPECT_TRUE(QTest::qWaitFor([&] { return !notice_text(*window).contains("No picture"); }, 15000));
}

// Packets lost on the bus make every field incomplete: told with a count.
TEST_F(stream_faults, a_damaged_stream_is_told_with_its_count) {
  open_streaming();
  set([](stick_faults& f) { f.lose_packet_every = 137; });
  ASSERT_TRUE(notice_says("fields in the last second came incomplete"));
  set([](stick_faults& f) { f.lose_packet_every = 0; });
  EXPECT_TRUE(notice_clears());
}

// The bridge hangs: its transfers time out and capture stops. Told, tried
// again, and the picture comes back once it answers.
TEST_F(stream_faults, a_bridge_that_stops_answering_is_told_and_recovered) {
  open_streaming();
  set([](stick_faults& f) { f.registers_silent = true; });
  ASSERT_TRUE(notice_says("does not answer", 15000));
  set([](stick_faults& f) { f.registers_silent = false; });
  EXPECT_TRUE(notice_clears());
  const uint32_t fields = parts->capture.assembled_fields();
  EXPECT_TRUE(QTest::qWaitFor([&] { return parts->capture.assembled_fields() > fields + 10; }, 10000));
}

}  // namespace
