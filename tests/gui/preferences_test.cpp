// The preferences file as the window reads and writes it: byte layout, short
// and long files, the first run, and a location that cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/main_window.h"
#include "sim/in_process_backend.h"
#include "tests/support/window_fixture.h"

namespace {

// Each window gets its own data location under a temporary XDG_DATA_HOME.
struct preferences_test : ::testing::Test {
  in_process_backend backend;
  QTemporaryDir home;
  scoped_data_home data_home{home.path() + "/share"};
  scoped_usb_backend backend_in_use{&backend};

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    backend.add(std::make_shared<virtual_stick>());
  }

  void use_data_home(const QString& path) { data_home.set(path); }
  QString data_dir() const { return data_home.data_dir(); }
  QString file_path() const { return data_home.preferences_file(); }
  void store(const QByteArray& bytes) { data_home.store(bytes); }
  QByteArray stored() const { return data_home.stored(); }

  // The parts of the last window opened; they outlive it.
  std::unique_ptr<capture_pipeline> parts;
  std::unique_ptr<main_window> open_window(const launch_options& options = {}) {
    parts = std::make_unique<capture_pipeline>();
    auto window = std::make_unique<main_window>(*parts, options);
    window->show();
    return window;
  }
  // The stick streams: the window is told as the capture thread tells it.
  void stream_started() { emit parts->capture.easycap_streaming(); }
};

// Answers every modal message box with OK and remembers what they said.
struct box_answerer {
  QTimer poll;
  QStringList titles, texts;
  bool parent_is_window = true;
  explicit box_answerer(QWidget* window) {
    QObject::connect(&poll, &QTimer::timeout, [this, window] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      titles << box->windowTitle();
      texts << box->text();
      parent_is_window = parent_is_window && box->parentWidget() == window;
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(box->icon(), QMessageBox::Critical);
      box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);
  }
};

preference_set from_bytes(std::initializer_list<bool> b) {
  auto it = b.begin();
  preference_set p;
  for (bool* field : {&p.s_video, &p.sixty_hz, &p.pal_60, &p.widescreen, &p.easycap_audio, &p.always_on_top,
                      &p.display_f2, &p.display_interlaced, &p.display_field_blended})
    *field = it != b.end() ? *it++ : false;
  return p;
}

TEST_F(preferences_test, no_file_gives_the_defaults_and_the_pal_window_without_writing_anything) {
  auto window = open_window();
  EXPECT_EQ(window->preferences().path(), file_path());
  EXPECT_EQ(window->preferences().current(), preference_set{});
  EXPECT_TRUE(window->preferences().current().easycap_audio);
  EXPECT_EQ(window->size(), with_meters({768, 596}));
  QTest::qWait(50);
  EXPECT_FALSE(QFile::exists(file_path())) << "start-up only reads";
}

TEST_F(preferences_test, reads_whatever_bytes_are_there) {
  struct read_case {
    const char* name;
    QByteArray bytes;
    preference_set expected;
  };
  const read_case cases[] = {
      {"empty file: all false, so line-in", QByteArray(), from_bytes({})},
      {"five bytes: S-Video, NTSC, 16:9, stick audio", QByteArray("\x01\x01\x00\x01\x01", 5),
       from_bytes({1, 1, 0, 1, 1})},
      {"any non-zero byte is true", QByteArray("\x00\x00\x00\x02\x01\x00\x00\x00\x00", 9), from_bytes({0, 0, 0, 1, 1})},
      {"bytes after the ninth are ignored", QByteArray("\x00\x01\x01\x00\x00\x01\x00\x01\x00\x01\x01\x01", 12),
       from_bytes({0, 1, 1, 0, 0, 1, 0, 1, 0})},
      {"each field at its own offset", QByteArray("\x00\x00\x01\x00\x00\x00\x00\x00\x01", 9),
       from_bytes({0, 0, 0, 0, 0, 0, 0, 0, 1})},
      // One display mode: the first set, in menu order.
      {"F2 before the others", QByteArray("\x00\x00\x00\x00\x00\x00\x01\x01\x01", 9),
       from_bytes({0, 0, 0, 0, 0, 0, 1, 0, 0})},
      {"Interlaced before Field-blended", QByteArray("\x00\x00\x00\x00\x00\x00\x00\x01\x01", 9),
       from_bytes({0, 0, 0, 0, 0, 0, 0, 1, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.bytes);
    auto window = open_window();
    EXPECT_EQ(window->preferences().current(), c.expected);
    // The menu shows the one mode in force.
    const preference_set& p = c.expected;
    const QString mode = p.display_f2              ? "F&2"
                         : p.display_interlaced    ? "&Interlaced"
                         : p.display_field_blended ? "&Field-blended"
                                                   : "F&1";
    EXPECT_TRUE(menu_action(*window, "&Display", mode)->isChecked()) << mode.toStdString();
    // The stored format waits for the first stream.
    EXPECT_EQ(window->size(), with_meters({768, 596}));
  }
}

TEST_F(preferences_test, the_next_save_writes_nine_clean_bytes) {
  struct write_case {
    const char* name;
    QByteArray before;
    QByteArray after;  // once "&Always on top" is chosen
  };
  const write_case cases[] = {
      {"a 0x02 is written back as 0x01", QByteArray("\x00\x00\x00\x02\x01\x00\x00\x00\x00", 9),
       QByteArray("\x00\x00\x00\x01\x01\x01\x00\x00\x00", 9)},
      {"a twelve-byte file shrinks to nine", QByteArray("\x01\x00\x00\x00\x01\x00\x00\x00\x00\x07\x07\x07", 12),
       QByteArray("\x01\x00\x00\x00\x01\x01\x00\x00\x00", 9)},
      {"a short file comes back whole", QByteArray("\x00\x01", 2),
       QByteArray("\x00\x01\x00\x00\x00\x01\x00\x00\x00", 9)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.before);
    auto window = open_window();
    menu_action(*window, "&Window", "&Always on top")->trigger();
    EXPECT_EQ(stored(), c.after);
  }
}

TEST_F(preferences_test, changes_are_written_at_their_offsets) {
  auto window = open_window();
  stream_started();
  menu_action(*window, "&NTSC/PAL", "PAL-&60")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x01\x01\x00\x01\x00\x00\x00\x00", 9));
  menu_action(*window, "&NTSC/PAL", "&PAL")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9)) << "the defaults";
  menu_action(*window, "&Display", "&Interlaced")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x00\x00\x00\x01\x00\x00\x01\x00", 9));
  menu_action(*window, "&Audio", "&Line-in")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x00\x00\x00\x00\x00\x00\x01\x00", 9));

  // What was written is what the next start reads.
  const preference_set written = window->preferences().current();
  window.reset();
  auto again = open_window();
  EXPECT_EQ(again->preferences().current(), written);
}

// --standard and --input hold for the run: the window and the stick follow
// them, the file keeps what it held for them while other settings are
// saved, and a choice from the menu is the user's again and is stored.
TEST_F(preferences_test, command_line_overrides_are_used_but_not_stored) {
  store(QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9));  // PAL, Composite
  launch_options options;
  options.standard = video_standard::ntsc;
  options.s_video = true;
  options.channel = 1;
  auto window = open_window(options);
  stream_started();
  EXPECT_TRUE(menu_action(*window, "&NTSC/PAL", "&NTSC")->isChecked());
  EXPECT_TRUE(menu_action(*window, "&Input", "&S-Video")->isChecked());
  EXPECT_EQ(parts->capture.settings().standard, video_standard::ntsc);
  EXPECT_TRUE(parts->capture.settings().s_video);
  EXPECT_EQ(parts->capture.channel(), 1);
  EXPECT_TRUE(parts->capture.channel_chosen());

  menu_action(*window, "Aspect &ratio", "&16:9")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x00\x00\x01\x01\x00\x00\x00\x00", 9)) << "PAL and Composite kept";
  EXPECT_EQ(window->preferences().current().sixty_hz, true) << "still NTSC for this run";
  menu_action(*window, "&NTSC/PAL", "PAL-&60")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x00\x01\x01\x01\x01\x00\x00\x00\x00", 9)) << "chosen from the menu: stored";
  menu_action(*window, "&Input", "&Composite")->trigger();
  menu_action(*window, "&Input", "&S-Video")->trigger();
  EXPECT_EQ(stored(), QByteArray("\x01\x01\x01\x01\x01\x00\x00\x00\x00", 9));
}

TEST_F(preferences_test, a_fresh_account_gets_its_data_directory_on_the_first_change) {
  use_data_home(home.path() + "/fresh/.local/share");
  auto window = open_window();
  box_answerer boxes(window.get());
  EXPECT_EQ(window->preferences().current(), preference_set{});
  EXPECT_FALSE(QDir(data_dir()).exists()) << "start-up creates nothing";
  menu_action(*window, "&Input", "&S-Video")->trigger();
  QTest::qWait(50);
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("; ").toStdString();
  EXPECT_EQ(stored(), QByteArray("\x01\x00\x00\x00\x01\x00\x00\x00\x00", 9));
}

TEST_F(preferences_test, a_location_that_cannot_be_written_is_reported_on_every_save_and_the_choice_still_works) {
  // The data location sits under a regular file, so no directory can be made.
  QFile blocker(home.path() + "/blocker");
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  use_data_home(home.path() + "/blocker/share");
  QFile probe(file_path());
  ASSERT_FALSE(probe.open(QIODevice::WriteOnly));
  const QString expected = "There was an error saving the preferences file: " + probe.errorString();

  auto window = open_window();
  box_answerer boxes(window.get());
  stream_started();
  QTest::qWait(30);
  EXPECT_TRUE(boxes.texts.isEmpty()) << "start-up is silent";

  menu_action(*window, "&NTSC/PAL", "PAL-&60")->trigger();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_EQ(boxes.titles[0], "Save Preferences Error");
  EXPECT_EQ(boxes.texts[0], expected);
  EXPECT_TRUE(boxes.parent_is_window);
  EXPECT_TRUE(window->preferences().current().sixty_hz);
  EXPECT_TRUE(window->preferences().current().pal_60);
  const QSize pal_60_window = with_meters({640, 500});
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->size() == pal_60_window; }, 2000)) << window->size().width();

  menu_action(*window, "Aspect &ratio", "&16:9")->trigger();
  EXPECT_EQ(boxes.texts.size(), 2) << "every save tries again";
  EXPECT_TRUE(window->preferences().current().widescreen);
  EXPECT_TRUE(QFileInfo(home.path() + "/blocker").isFile());
}

// A FIFO in the file's place would block the start for ever.
TEST_F(preferences_test, a_fifo_in_place_of_the_file_is_no_file_and_saving_says_why) {
  ASSERT_TRUE(QDir().mkpath(data_dir()));
  ASSERT_EQ(mkfifo(QFile::encodeName(file_path()).constData(), 0600), 0);
  auto window = open_window();
  EXPECT_EQ(window->preferences().current(), preference_set{});
  box_answerer boxes(window.get());
  menu_action(*window, "&Window", "&Always on top")->trigger();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_EQ(boxes.texts[0],
            "There was an error saving the preferences file: " + file_path() + " is not a regular file");
  EXPECT_TRUE(window->preferences().current().always_on_top);
}

TEST_F(preferences_test, a_directory_in_place_of_the_file_is_reported) {
  ASSERT_TRUE(QDir().mkpath(file_path()));
  QFile probe(file_path());
  ASSERT_FALSE(probe.open(QIODevice::WriteOnly));
  const QString expected = "There was an error saving the preferences file: " + probe.errorString();

  auto window = open_window();
  EXPECT_EQ(window->preferences().current(), preference_set{});
  box_answerer boxes(window.get());
  menu_action(*window, "&Window", "&Always on top")->trigger();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_EQ(boxes.texts[0], expected);
  EXPECT_TRUE(window->preferences().current().always_on_top);
}

// Deinterlaced is kept in the second file, the nine bytes holding F1 for it
// (older versions read those); a mode one of them chose there since wins.
TEST_F(preferences_test, deinterlaced_lives_in_the_second_file_and_the_nine_bytes_keep_f1_for_it) {
  const QByteArray f1("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9);
  const QByteArray interlaced("\x00\x00\x00\x00\x01\x00\x00\x01\x00", 9);
  const QString ini = QFileInfo(file_path()).absolutePath() + "/ostrevin.ini";
  struct mode_case {
    const char* name;
    QByteArray nine;
    display_mode mode;
    const char* checked;
  };
  const mode_case cases[] = {
      {"the nine bytes say F1", f1, display_mode::deinterlaced, "&Deinterlaced"},
      {"an older version chose Interlaced since", interlaced, display_mode::interlaced, "&Interlaced"},
  };
  for (const mode_case& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.nine);
    QSettings(ini, QSettings::IniFormat).setValue("display/mode", "deinterlaced");
    auto window = open_window();
    EXPECT_EQ(window->preferences().mode(), c.mode);
    EXPECT_TRUE(menu_action(*window, "&Display", c.checked)->isChecked());
  }

  // Chosen from the menu: F1 in the nine bytes, the mode in the second file.
  auto window = open_window();
  menu_action(*window, "&Display", "&Deinterlaced")->trigger();
  EXPECT_EQ(stored(), f1);
  EXPECT_EQ(QSettings(ini, QSettings::IniFormat).value("display/mode").toString(), "deinterlaced");
  window.reset();
  EXPECT_EQ(open_window()->preferences().mode(), display_mode::deinterlaced);
}

}  // namespace
