// No sound server at all: the picture goes on, the source falls back to
// line-in without a word, and mute and the source switch still behave.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "app/main_window.h"
#include "audio/sound_preview.h"
#include "sim/in_process_backend.h"
#include "tests/support/window_fixture.h"

namespace {

TEST(no_sound_server, the_picture_goes_on_without_sound) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  scoped_data_home data_home(home.path());
  in_process_backend backend;
  backend.set_paced(true);
  backend.add(std::make_shared<virtual_stick>());
  scoped_usb_backend backend_in_use(&backend);
  {
    capture_pipeline parts;
    main_window window(parts);
    window.show();
    QAction* easycap = menu_action(window, "&Audio", "&Easycap");
    QAction* line_in = menu_action(window, "&Audio", "&Line-in");
    QAction* mute = menu_action(window, "&Audio", "&Mute audio preview");
    ASSERT_TRUE(easycap && line_in && mute);

    ASSERT_TRUE(QTest::qWaitFor([&] { return parts.sound.is_running(); }, 10000));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_FALSE(easycap->isEnabled());
    EXPECT_TRUE(line_in->isChecked());
    mute->trigger();
    EXPECT_TRUE(parts.sound.is_muted());
    mute->trigger();
    EXPECT_FALSE(parts.sound.is_muted());

    const int shown = parts.display.pictures_shown();
    EXPECT_TRUE(QTest::qWaitFor([&] { return parts.display.pictures_shown() >= shown + 20; }, 10000));
    EXPECT_EQ(parts.sound.bytes_read(), 0);
    window.close();
  }
}

// The preview alone: it runs, says the stick's sound is missing, reads and
// hands on nothing, and mute and a new source still behave.
TEST(no_sound_server, the_preview_runs_without_sound) {
  sound_preview preview;
  QSignalSpy missing(&preview, &sound_preview::stick_sound_missing);
  QSignalSpy refused(&preview, &sound_preview::format_not_supported);
  QSignalSpy captured(&preview, &sound_preview::sound_captured);
  preview.start(usb_device_identity{}, true);
  EXPECT_TRUE(preview.is_running());
  EXPECT_EQ(missing.count(), 1);
  EXPECT_EQ(refused.count(), 0);
  EXPECT_TRUE(preview.is_stick_sound_missing());
  EXPECT_TRUE(preview.stick_input().isNull());
  preview.toggle_mute();
  EXPECT_TRUE(preview.is_muted());
  preview.stop_input();
  EXPECT_FALSE(preview.is_running());
  preview.start(usb_device_identity{}, false);
  EXPECT_TRUE(preview.is_running());
  EXPECT_FALSE(preview.is_muted());
  QTest::qWait(300);
  EXPECT_EQ(preview.bytes_read(), 0);
  EXPECT_EQ(captured.count(), 0);
  preview.release();
  EXPECT_EQ(preview.source(), nullptr);
  EXPECT_EQ(preview.sink(), nullptr);
}

}  // namespace
