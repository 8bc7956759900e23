// Recording through the window: the capture file dialog, the menus while
// recording, real files from the virtual stick with sound from the test
// sound server, the close question, and failures that end a recording.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "tests/support/avi_file.h"
#include "tests/support/pulse_probe.h"
#include "tests/support/window_fixture.h"

namespace {

struct recording_test : window_fixture {
  QTemporaryDir captures;

  void SetUp() override {
    window_fixture::SetUp();
    ASSERT_TRUE(captures.isValid());
  }

  QAction* file_action(const QString& text) { return menu_item("&File", text); }
  QAction* capture() { return file_action("&Capture"); }
  QAction* stop() { return file_action("&Stop capture"); }
  QAction* set_file() { return file_action("Set capture &file ..."); }

  void start_streaming_with_sound() {
    open_window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->sound.is_running(); }, 10000));
    if (pulse_probe::server_available()) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return parts->sound.bytes_read() > 96000; }, 8000));
    }
  }

  void expect_idle() {
    EXPECT_FALSE(parts->recording.is_recording());
    EXPECT_TRUE(capture()->isEnabled());
    EXPECT_TRUE(set_file()->isEnabled());
    EXPECT_FALSE(stop()->isEnabled());
    EXPECT_TRUE(menu_item("&NTSC/PAL", "&PAL")->isEnabled());
    EXPECT_TRUE(menu_item("&Input", "&S-Video")->isEnabled());
    EXPECT_TRUE(menu_item("Aspect &ratio", "&16:9")->isEnabled());
    EXPECT_TRUE(menu_item("&Audio", "&Line-in")->isEnabled());
  }
};

struct standard_case {
  const char* name;
  QByteArray preferences;
  int height;
  double frame_rate;
  bool sixty_hz;
};

struct recording_standards : recording_test, ::testing::WithParamInterface<standard_case> {};

// The tape is film (2:2), so a frame woven from fields of two pictures
// shows combing where one of the picture's own fields shows none.
TEST_P(recording_standards, the_file_holds_every_picture_of_the_signal_and_the_stick_sound) {
  const standard_case& c = GetParam();
  store(c.preferences);
  stick_faults film = stick->faults();
  film.film_tape = true;
  stick->set_faults(film);
  start_streaming_with_sound();

  // An existing file is never overwritten, and the extension is matched in any case.
  QFile existing(captures.path() + "/movie.avi");
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.write("keep me");
  existing.close();
  EXPECT_FALSE(capture()->isEnabled());
  const dialog_seen seen = choose_capture_file(captures.path() + "/movie.AVI");
  EXPECT_EQ(seen.title, "Set Capture File");
  EXPECT_EQ(seen.filter, "*.avi");
  EXPECT_FALSE(seen.confirms_overwrite);
  EXPECT_TRUE(seen.save);
  EXPECT_EQ(parts->recording.next_settings().base_name, captures.path() + "/movie");
  ASSERT_TRUE(capture()->isEnabled());

  const uint32_t dropped_before = parts->recording.frames_dropped_total();
  capture()->trigger();
  EXPECT_TRUE(parts->recording.is_recording());
  EXPECT_FALSE(capture()->isEnabled());
  EXPECT_FALSE(set_file()->isEnabled());
  EXPECT_TRUE(stop()->isEnabled());
  for (const auto& [menu, text] : std::vector<std::pair<QString, QString>>{{"&NTSC/PAL", "&NTSC"},
                                                                           {"&NTSC/PAL", "&PAL"},
                                                                           {"&NTSC/PAL", "PAL-&60"},
                                                                           {"&Input", "&Composite"},
                                                                           {"&Input", "&S-Video"},
                                                                           {"Aspect &ratio", "&4:3"},
                                                                           {"Aspect &ratio", "&16:9"},
                                                                           {"&Audio", "&Line-in"},
                                                                           {"&Audio", "&Easycap"}})
    EXPECT_FALSE(menu_item(menu, text)->isEnabled()) << text.toStdString();
  EXPECT_TRUE(menu_item("&Display", "F&2")->isEnabled());
  EXPECT_TRUE(menu_item("&Audio", "&Mute audio preview")->isEnabled());

  QTest::qWait(3000);
  stop()->trigger();
  expect_idle();
  const uint32_t dropped = parts->recording.frames_dropped_total() - dropped_before;

  QFile kept(captures.path() + "/movie.avi");
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), "keep me");
  const pattern_avi r = read_pattern_avi(captures.path() + "/movie2.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_EQ(r.video_codec, "huffyuv");
  EXPECT_EQ(r.pixel_format, "yuv422p");
  EXPECT_EQ(r.width, 720);
  EXPECT_EQ(r.height, c.height);
  EXPECT_NEAR(r.frame_rate, c.frame_rate, 1e-9);
  EXPECT_EQ(r.display_aspect, "4:3");
  EXPECT_EQ(r.audio_codec, "pcm_s16le");
  EXPECT_EQ(r.sample_rate, 48000);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.decode_errors, 0);
  ASSERT_GE(r.frames.size(), size_t(2 * c.frame_rate)) << "3 s of recording";

  // Each frame: one picture of the signal, its earlier field then its
  // later one: top field first for PAL (the earlier field on the even rows),
  // bottom field first for NTSC, as the file says. Each field starts with
  // two black luma rows; frames follow each other two fields apart. A frame
  // that never came leaves a gap, or a repeat of the frame before in its
  // place; one with a lost field carries an older one. All of that was
  // reported as dropped or damaged.
  int lost = 0;
  for (size_t i = 0; i < r.frames.size(); ++i) {
    const pattern_frame& f = r.frames[i];
    const test_pattern::field_info& earlier = c.sixty_hz ? f.odd : f.even;
    const test_pattern::field_info& later = c.sixty_hz ? f.even : f.odd;
    EXPECT_TRUE(f.even_rows_start_black) << "frame " << i;
    EXPECT_EQ(f.even.programmed.sixty_hz, c.sixty_hz);
    EXPECT_FALSE(later.first_field) << "frame " << i;
    if (!earlier.first_field || earlier.number + 1 != later.number) ++lost;  // torn: an older field
    if (i == 0) continue;
    const int step = int(later.number) - int(c.sixty_hz ? r.frames[i - 1].even.number : r.frames[i - 1].odd.number);
    if (step == 0) continue;  // a repeat: its frame is the gap counted next
    if (step > 2) lost += step / 2 - 1;
  }
  EXPECT_LE(lost, int(dropped)) << "frames missing or torn beyond what was reported";
  // The tools that read it agree: mediainfo finds the declared order, and
  // ffmpeg's comb detector finds the frames whole, each film picture woven
  // back, except where a frame was torn.
  const field_verdicts verdicts = read_field_verdicts(captures.path() + "/movie2.avi");
  EXPECT_EQ(verdicts.scan_order.toStdString(), c.sixty_hz ? "BFF" : "TFF");
  EXPECT_GE(verdicts.progressive, int(r.frames.size()) / 2);
  EXPECT_LE(verdicts.combed(), int(dropped)) << verdicts.tff << " TFF, " << verdicts.bff << " BFF";

  // The sound: the stick's tone, as long as the pictures to within a frame.
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 1.0 / c.frame_rate + 1e-9);
  if (pulse_probe::server_available()) {
    const auto* samples = reinterpret_cast<const int16_t*>(r.audio.constData());
    const size_t count = size_t(r.audio.size()) / 2;
    // The recording ends with its own sound, not silence padded at the
    // stop: the last half second carries the tone as the half second a
    // second earlier does (the first moments may be made-up silence).
    const size_t half_second = 48000;  // stereo samples
    ASSERT_GE(count, 3 * half_second);
    const std::vector<int16_t> last(samples + count - half_second, samples + count);
    const std::vector<int16_t> earlier(samples + count - 3 * half_second, samples + count - 2 * half_second);
    const double level = pulse_probe::tone_level(earlier, pulse_probe::stick_tone_hz);
    EXPECT_GT(level, 500.0);
    EXPECT_GT(pulse_probe::tone_level(last, pulse_probe::stick_tone_hz), 0.8 * level)
        << "the end of the recording is silence, not the tone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    standards, recording_standards,
    ::testing::Values(standard_case{"pal", QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9), 576, 25.0, false},
                      standard_case{"ntsc", QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9), 480,
                                    30000.0 / 1001.0, true}),
    [](const ::testing::TestParamInfo<standard_case>& info) { return std::string(info.param.name); });

TEST_F(recording_test, closing_while_recording_asks_first_and_finishes_the_file) {
  QTemporaryDir cwd;
  ASSERT_TRUE(cwd.isValid());
  const QString old_cwd = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(cwd.path()));
  const QByteArray css = "QMessageBox { background-color: #203040; }";
  {
    QFile sheet("tessalin.css");
    ASSERT_TRUE(sheet.open(QIODevice::WriteOnly));
    sheet.write(css);
  }
  start_streaming_with_sound();
  choose_capture_file(captures.path() + "/closing");
  capture()->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_in_file > 10; }, 10000));

  QString text, title, sheet;
  bool has_parent = true;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  on_next_modal<QMessageBox>([&](QMessageBox* box) {
    text = box->text();
    title = box->windowTitle();
    sheet = box->styleSheet();
    icon = box->icon();
    buttons = box->standardButtons();
    has_parent = box->parentWidget() != nullptr;
    box->button(QMessageBox::Cancel)->click();
  });
  window->close();
  EXPECT_EQ(text, "Really close Ostrevin?");
  EXPECT_EQ(title, "Ostrevin");
  EXPECT_EQ(sheet, QString::fromUtf8(css));
  EXPECT_EQ(icon, QMessageBox::Information);
  EXPECT_EQ(buttons, QMessageBox::Ok | QMessageBox::Cancel);
  EXPECT_FALSE(has_parent);
  // Cancel: the recording goes on.
  EXPECT_TRUE(parts->recording.is_recording());
  EXPECT_TRUE(window->isVisible());
  const int encoded = parts->recording.recorder().counters().frames_in_file;
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_in_file > encoded + 10; }, 10000));

  // OK: the file is finished, the threads end, and the program leaves its
  // event loop with exit code 0.
  on_next_modal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Ok)->click(); });
  // Only the window's own close sequence may end the loop here: the last
  // window closing would post another quit that ends the next test's dialogs.
  QApplication::setQuitOnLastWindowClosed(false);
  QTimer::singleShot(0, window.get(), [&] { window->close(); });
  EXPECT_EQ(QApplication::exec(), 0);
  QApplication::setQuitOnLastWindowClosed(true);
  EXPECT_FALSE(window->isVisible());
  EXPECT_FALSE(parts->recording.is_recording());
  EXPECT_FALSE(parts->recording.recorder().isRunning());
  EXPECT_FALSE(parts->capture.isRunning());
  QDir::setCurrent(old_cwd);

  const pattern_avi r = read_pattern_avi(captures.path() + "/closing.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_GT(r.frames.size(), size_t(20));
  EXPECT_EQ(r.decode_errors, 0);
  EXPECT_NEAR(r.audio_seconds(), r.video_seconds(), 1.0 / 25 + 1e-9);
}

TEST_F(recording_test, a_file_that_cannot_be_created_is_reported_once_and_the_window_returns_to_idle) {
  start_streaming_with_sound();
  // A path below a regular file cannot be created, whoever runs the test.
  QFile blocker(captures.path() + "/not-a-directory");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  choose_capture_file(blocker.fileName() + "/movie");

  int boxes = 0;
  QString text;
  std::function<void(QMessageBox*)> answer = [&](QMessageBox* box) {
    ++boxes;
    text = box->text();
    box->button(QMessageBox::Ok)->click();
  };
  on_next_modal<QMessageBox>(answer);
  capture()->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return boxes == 1; }, 10000));
  EXPECT_TRUE(text.contains("movie.avi")) << text.toStdString();
  expect_idle();
  // Nothing more is said, and the pictures go on.
  const int shown = parts->display.pictures_shown();
  QTest::qWait(500);
  EXPECT_EQ(boxes, 1);
  EXPECT_GT(parts->display.pictures_shown(), shown);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(recording_test, a_device_error_while_recording_finishes_the_file_first) {
  start_streaming_with_sound();
  choose_capture_file(captures.path() + "/unplugged");
  capture()->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->recording.recorder().counters().frames_in_file > 10; }, 10000));

  bool recording_at_message = true;
  on_next_modal<QMessageBox>([&](QMessageBox* box) {
    recording_at_message = parts->recording.is_recording() || parts->recording.recorder().isRunning();
    box->button(QMessageBox::Ok)->click();
  });
  // What the capture thread reports when the stick cannot be programmed
  // again; the program then leaves its event loop with exit code 1.
  QTimer::singleShot(0, window.get(), [&] { emit parts->capture.capture_device_not_found(); });
  EXPECT_EQ(QApplication::exec(), 1);
  EXPECT_FALSE(recording_at_message);
  EXPECT_FALSE(parts->recording.is_recording());
  const pattern_avi r = read_pattern_avi(captures.path() + "/unplugged.avi");
  ASSERT_TRUE(r.opened) << r.error.toStdString();
  EXPECT_GT(r.frames.size(), size_t(10));
  EXPECT_EQ(r.decode_errors, 0);
}

}  // namespace
