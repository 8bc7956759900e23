// Display -> Picture...: a slider reaches the decoder while the stick
// streams, without a programming pass; each input keeps its own values
// across starts; the command line's values hold for the run only.
#include <gtest/gtest.h>

#include <QSettings>
#include <QSlider>
#include <QTest>

#include "app/main_window.h"
#include "app/picture_dialog.h"
#include "tests/support/window_fixture.h"

namespace {

int programming_passes(const virtual_stick& stick) {
  int n = 0;
  for (const auto& op : stick.log())
    if (op.kind == stick_op_kind::set_alternate) ++n;
  return n;
}

struct picture_test : window_fixture {
  picture_test() { paced = false; }

  picture_dialog* open_dialog() {
    menu_item("&Display", "&Picture...")->trigger();
    auto* dialog = window->findChild<picture_dialog*>();
    EXPECT_TRUE(dialog && dialog->isVisible());
    return dialog;
  }
  QSlider* slider(picture_dialog* dialog, const char* name) { return dialog->findChild<QSlider*>(name); }
  QString ini() const { return data_home.data_dir() + "/ostrevin.ini"; }
};

TEST_F(picture_test, a_slider_reaches_the_decoder_between_reaps_and_each_input_keeps_its_own) {
  open_streaming();
  // The first stream's programming, then the one for the stored settings.
  ASSERT_TRUE(QTest::qWaitFor([&] { return programming_passes(*stick) >= 2 && stick->capture_enabled(); }, 10000));
  stick->clear_log();
  picture_dialog* dialog = open_dialog();
  ASSERT_NE(dialog, nullptr);
  struct move {
    const char* control;
    int value;
    uint8_t reg, byte;
  };
  for (const move& m : {move{"brightness", 150, 0x0A, 150}, move{"contrast", 40, 0x0B, 40},
                        move{"saturation", 100, 0x0C, 100}, move{"hue", -10, 0x0D, 0xF6}}) {
    SCOPED_TRACE(m.control);
    slider(dialog, m.control)->setValue(m.value);
    EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(m.reg) == m.byte; }, 5000));
  }
  EXPECT_EQ(programming_passes(*stick), 0);

  // S-Video has values of its own; Composite's come back with it.
  menu_item("&Input", "&S-Video")->trigger();
  EXPECT_EQ(slider(dialog, "brightness")->value(), picture_controls{}.brightness);
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0A) == picture_controls{}.brightness; }, 10000));
  slider(dialog, "brightness")->setValue(90);
  menu_item("&Input", "&Composite")->trigger();
  EXPECT_EQ(slider(dialog, "brightness")->value(), 150);
  dialog->close();

  // Stored, and read back at the next start.
  QSettings stored(ini(), QSettings::IniFormat);
  EXPECT_EQ(stored.value("composite/brightness").toInt(), 150);
  EXPECT_EQ(stored.value("composite/hue").toInt(), -10);
  EXPECT_EQ(stored.value("s_video/brightness").toInt(), 90);
  open_streaming();
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0A) == 150 && stick->decoder(0x0D) == 0xF6; }, 10000));
}

TEST_F(picture_test, the_command_lines_values_hold_for_the_run_and_are_not_stored) {
  launch_options options;
  options.brightness = 200;
  options.hue = 5;
  open_window(options);
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0A) == 200 && stick->decoder(0x0D) == 5; }, 10000));
  picture_dialog* dialog = open_dialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->controls(), (picture_controls{200, 63, 63, 5}));
  // Moving one control makes that one the user's: stored; the other stays
  // the command line's, not stored.
  slider(dialog, "contrast")->setValue(50);
  slider(dialog, "hue")->setValue(7);
  dialog->close();
  QSettings stored(ini(), QSettings::IniFormat);
  EXPECT_EQ(stored.value("composite/brightness").toInt(), picture_controls{}.brightness);
  EXPECT_EQ(stored.value("composite/contrast").toInt(), 50);
  EXPECT_EQ(stored.value("composite/hue").toInt(), 7);
}

}  // namespace
