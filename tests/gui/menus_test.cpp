// The menu bar: texts, order, initial check marks, what each choice changes,
// signals and writes, and the window sizes it sets.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "sim/in_process_backend.h"
#include "tests/support/window_fixture.h"

namespace {

struct menus_test : window_fixture {
  menus_test() { paced = false; }

  // A window with the stored preferences already in force, as after the
  // first stream; a later stream changes nothing.
  // (The stick streams: the window is told as the capture thread tells it.)
  std::unique_ptr<main_window> streaming_window() {
    window.reset();
    parts = std::make_unique<capture_pipeline>();
    auto opened = std::make_unique<main_window>(*parts);
    opened->show();
    EXPECT_EQ(opened->preferences().path(), file_path());
    emit parts->capture.easycap_streaming();
    return opened;
  }
};

QMenu* menu_named(main_window& window, const QString& title) {
  for (QAction* top : window.menuBar()->actions())
    if (top->text() == title) return top->menu();
  ADD_FAILURE() << "no menu " << title.toStdString();
  return nullptr;
}

QAction* action(main_window& window, const QString& menu, const QString& text) {
  for (QAction* a : menu_named(window, menu)->actions())
    if (a->text() == text) return a;
  ADD_FAILURE() << "no action " << text.toStdString() << " in " << menu.toStdString();
  return nullptr;
}

QStringList checked_in(main_window& window, const QString& menu) {
  QStringList texts;
  for (QAction* a : menu_named(window, menu)->actions())
    if (a->isChecked()) texts << a->text();
  return texts;
}

bool size_becomes(main_window& window, QSize size) {
  return QTest::qWaitFor([&] { return window.size() == size; }, 2000);
}

std::string str(QSize s) { return std::to_string(s.width()) + "x" + std::to_string(s.height()); }

TEST_F(menus_test, every_menu_and_item_in_order_with_its_initial_state) {
  auto window = streaming_window();
  const QList<QPair<QString, QStringList>> expected = {
      {"&File",
       {"Set capture &file ...", "-", "&Capture", "&Stop capture", "-", "Stop &after...", "-", "Save &picture"}},
      {"&NTSC/PAL", {"&NTSC", "&PAL", "PAL-&60"}},
      {"&Input", {"&S-Video", "&Composite"}},
      {"&Channel", {"0", "1", "2", "3"}},
      {"Aspect &ratio", {"&4:3", "&16:9"}},
      {"&Audio", {"&Easycap", "&Line-in", "-", "&Mute audio preview"}},
      {"&Display", {"F&1", "F&2", "&Interlaced", "&Field-blended", "&Deinterlaced", "-", "&Picture..."}},
      {"&Window", {"&Always on top", "&Full screen", "-", "50%", "100%", "150%", "200%", "250%", "300%"}},
      {"&Help", {"&About Ostrevin", "About &Qt"}},
  };
  const QList<QAction*> tops = window->menuBar()->actions();
  ASSERT_EQ(tops.size(), expected.size());
  for (int m = 0; m < tops.size(); ++m) {
    SCOPED_TRACE(expected[m].first.toStdString());
    EXPECT_EQ(tops[m]->text(), expected[m].first);
    ASSERT_NE(tops[m]->menu(), nullptr);
    QStringList texts;
    for (QAction* a : tops[m]->menu()->actions()) texts << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(texts, expected[m].second);
  }

  // Grouped items: checkable, one exclusive group per menu section.
  for (const char* menu : {"&NTSC/PAL", "&Input", "&Channel", "Aspect &ratio", "&Display"}) {
    SCOPED_TRACE(menu);
    QActionGroup* group = menu_named(*window, menu)->actions().first()->actionGroup();
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->exclusionPolicy(), QActionGroup::ExclusionPolicy::Exclusive);
    for (QAction* a : menu_named(*window, menu)->actions()) {
      if (a->isSeparator() || a->text() == "&Picture...") continue;  // not a choice of the group
      EXPECT_TRUE(a->isCheckable());
      EXPECT_EQ(a->actionGroup(), group);
    }
  }
  EXPECT_EQ(action(*window, "&Audio", "&Easycap")->actionGroup(), action(*window, "&Audio", "&Line-in")->actionGroup());
  EXPECT_EQ(action(*window, "&Window", "50%")->actionGroup(), action(*window, "&Window", "300%")->actionGroup());
  EXPECT_EQ(action(*window, "&Audio", "&Mute audio preview")->actionGroup(), nullptr);
  EXPECT_EQ(action(*window, "&Window", "&Always on top")->actionGroup(), nullptr);

  EXPECT_TRUE(action(*window, "&File", "Set capture &file ...")->isEnabled());
  EXPECT_FALSE(action(*window, "&File", "&Capture")->isEnabled());
  EXPECT_FALSE(action(*window, "&File", "&Stop capture")->isEnabled());
  EXPECT_TRUE(action(*window, "&File", "Stop &after...")->isEnabled());
  EXPECT_TRUE(action(*window, "&Audio", "&Mute audio preview")->isCheckable());
  EXPECT_FALSE(action(*window, "&Audio", "&Mute audio preview")->isChecked());
  EXPECT_TRUE(action(*window, "&Window", "&Always on top")->isCheckable());
  EXPECT_EQ(checked_in(*window, "&Channel"), QStringList());
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"100%"});
  EXPECT_EQ(action(*window, "&File", "Save &picture")->shortcut(), QKeySequence("Ctrl+S"));
  EXPECT_EQ(action(*window, "&Window", "&Full screen")->shortcut(), QKeySequence(Qt::Key_F11));
  for (int channel = 0; channel < 4; ++channel)
    EXPECT_EQ(action(*window, "&Channel", QString::number(channel))->shortcut(),
              QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_0 + channel)));
}

TEST_F(menus_test, check_marks_follow_the_stored_preferences) {
  struct marks_case {
    QByteArray bytes;  // empty: no file
    QStringList standard, input, aspect, audio, display;
    bool on_top;
  };
  const marks_case cases[] = {
      {{}, {"&PAL"}, {"&Composite"}, {"&4:3"}, {"&Easycap"}, {"F&1"}, false},
      {QByteArray("\x01\x01\x00\x01\x00\x01\x00\x01\x00", 9),
       {"&NTSC"},
       {"&S-Video"},
       {"&16:9"},
       {"&Line-in"},
       {"&Interlaced"},
       true},
      {QByteArray("\x00\x01\x01\x00\x01\x00\x01\x00\x00", 9),
       {"PAL-&60"},
       {"&Composite"},
       {"&4:3"},
       {"&Easycap"},
       {"F&2"},
       false},
      {QByteArray("\x00\x00\x01\x00\x01\x00\x00\x00\x01", 9),
       {"&PAL"},
       {"&Composite"},
       {"&4:3"},
       {"&Easycap"},
       {"&Field-blended"},
       false},
      {QByteArray("", 0), {"&PAL"}, {"&Composite"}, {"&4:3"}, {"&Line-in"}, {"F&1"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.toHex(' ').toStdString());
    QFile::remove(file_path());
    if (!c.bytes.isNull()) store(c.bytes);
    capture_pipeline parts;
    main_window window(parts);  // marks are right before the first stream
    EXPECT_EQ(checked_in(window, "&NTSC/PAL"), c.standard);
    EXPECT_EQ(checked_in(window, "&Input"), c.input);
    EXPECT_EQ(checked_in(window, "Aspect &ratio"), c.aspect);
    EXPECT_EQ(checked_in(window, "&Audio"), c.audio);
    EXPECT_EQ(checked_in(window, "&Display"), c.display);
    EXPECT_EQ(action(window, "&Window", "&Always on top")->isChecked(), c.on_top);
  }
}

TEST_F(menus_test, choosing_the_item_in_force_does_nothing) {
  struct idle_case {
    QByteArray bytes;  // a 0x02 byte shows any rewrite
    QStringList in_force;
  };
  const idle_case cases[] = {
      {QByteArray("\x00\x00\x00\x00\x02\x00\x00\x00\x00", 9),
       {"&NTSC/PAL|&PAL", "&Input|&Composite", "Aspect &ratio|&4:3", "&Audio|&Easycap", "&Display|F&1"}},
      {QByteArray("\x02\x01\x00\x01\x00\x00\x01\x00\x00", 9),
       {"&NTSC/PAL|&NTSC", "&Input|&S-Video", "Aspect &ratio|&16:9", "&Audio|&Line-in", "&Display|F&2"}},
      {QByteArray("\x00\x01\x01\x00\x02\x00\x00\x01\x00", 9), {"&NTSC/PAL|PAL-&60", "&Display|&Interlaced"}},
      {QByteArray("\x00\x00\x00\x00\x02\x00\x00\x00\x01", 9), {"&Display|&Field-blended"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.toHex(' ').toStdString());
    store(c.bytes);
    auto window = streaming_window();
    const preference_set before = window->preferences().current();
    action(*window, "&Window", "200%")->trigger();
    const QSize scaled = window->size();
    QSignalSpy standard(window.get(), &main_window::set_standard);
    QSignalSpy channel(window.get(), &main_window::change_channel);
    for (const QString& item : c.in_force) {
      SCOPED_TRACE(item.toStdString());
      QAction* a = action(*window, item.section('|', 0, 0), item.section('|', 1, 1));
      ASSERT_TRUE(a->isChecked());
      a->trigger();
      EXPECT_TRUE(a->isChecked());
    }
    QTest::qWait(30);
    EXPECT_EQ(standard.count(), 0);
    EXPECT_EQ(channel.count(), 0);
    EXPECT_EQ(stored(), c.bytes);
    EXPECT_EQ(window->preferences().current(), before);
    EXPECT_EQ(window->size(), scaled) << "no return to 100 %";
  }
}

TEST_F(menus_test, each_choice_changes_its_preference_signals_writes_and_sizes) {
  struct choice_case {
    QByteArray before;  // empty: no file
    const char* menu;
    const char* item;
    QByteArray after;
    int set_standard;
    QList<int> channels;
    QSize window;  // before the sound meters
  };
  const QByteArray defaults("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9);
  const choice_case cases[] = {
      {{}, "&NTSC/PAL", "&NTSC", QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9), 1, {}, {640, 500}},
      {{}, "&NTSC/PAL", "PAL-&60", QByteArray("\x00\x01\x01\x00\x01\x00\x00\x00\x00", 9), 1, {}, {640, 500}},
      {QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9),
       "&NTSC/PAL",
       "PAL-&60",
       QByteArray("\x00\x01\x01\x00\x01\x00\x00\x00\x00", 9),
       1,
       {},
       {640, 500}},
      {QByteArray("\x00\x01\x01\x01\x01\x00\x00\x00\x00", 9),
       "&NTSC/PAL",
       "&NTSC",
       QByteArray("\x00\x01\x00\x01\x01\x00\x00\x00\x00", 9),
       1,
       {},
       {640, 380}},
      {QByteArray("\x00\x01\x01\x01\x01\x00\x00\x00\x00", 9),
       "&NTSC/PAL",
       "&PAL",
       QByteArray("\x00\x00\x00\x01\x01\x00\x00\x00\x00", 9),
       1,
       {},
       {768, 452}},
      {{}, "&Input", "&S-Video", QByteArray("\x01\x00\x00\x00\x01\x00\x00\x00\x00", 9), 0, {0}, {768, 596}},
      {QByteArray("\x01\x01\x00\x00\x01\x00\x00\x00\x00", 9),
       "&Input",
       "&Composite",
       QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9),
       0,
       {2},
       {640, 500}},
      {{}, "Aspect &ratio", "&16:9", QByteArray("\x00\x00\x00\x01\x01\x00\x00\x00\x00", 9), 1, {}, {768, 452}},
      {QByteArray("\x00\x01\x00\x01\x01\x00\x00\x00\x00", 9),
       "Aspect &ratio",
       "&4:3",
       QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9),
       1,
       {},
       {640, 500}},
      {{}, "&Audio", "&Line-in", QByteArray("\x00\x00\x00\x00\x00\x00\x00\x00\x00", 9), 0, {}, {768, 596}},
      {QByteArray("\x00\x00\x00\x00\x00\x00\x00\x00\x00", 9), "&Audio", "&Easycap", defaults, 0, {}, {768, 596}},
      {{}, "&Display", "F&2", QByteArray("\x00\x00\x00\x00\x01\x00\x01\x00\x00", 9), 0, {}, {768, 596}},
      {{}, "&Display", "&Interlaced", QByteArray("\x00\x00\x00\x00\x01\x00\x00\x01\x00", 9), 0, {}, {768, 596}},
      {{}, "&Display", "&Field-blended", QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x01", 9), 0, {}, {768, 596}},
      {QByteArray("\x00\x00\x00\x00\x01\x00\x00\x01\x00", 9), "&Display", "F&1", defaults, 0, {}, {768, 596}},
      {QByteArray("\x00\x00\x00\x00\x01\x00\x01\x00\x00", 9),
       "&Display",
       "&Field-blended",
       QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x01", 9),
       0,
       {},
       {768, 596}},
      {{}, "&Window", "&Always on top", QByteArray("\x00\x00\x00\x00\x01\x01\x00\x00\x00", 9), 0, {}, {768, 596}},
      {QByteArray("\x00\x00\x00\x00\x01\x01\x00\x00\x00", 9), "&Window", "&Always on top", defaults, 0, {}, {768, 596}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.item) + " from " + c.before.toHex(' ').toStdString());
    QFile::remove(file_path());
    if (!c.before.isNull()) store(c.before);
    auto window = streaming_window();
    QSignalSpy standard(window.get(), &main_window::set_standard);
    QSignalSpy channel(window.get(), &main_window::change_channel);
    QAction* a = action(*window, c.menu, c.item);
    a->trigger();
    EXPECT_EQ(stored(), c.after);
    EXPECT_EQ(standard.count(), c.set_standard);
    QList<int> channels;
    for (const auto& args : channel) channels << args.at(0).toInt();
    EXPECT_EQ(channels, c.channels);
    EXPECT_TRUE(size_becomes(*window, with_meters(c.window)))
        << str(window->size()) << " instead of " << str(with_meters(c.window));

    // The check marks mirror the preference, and the next start reads it back.
    if (a->actionGroup()) {
      EXPECT_TRUE(a->isChecked());
    }
    EXPECT_EQ(bool(window->windowFlags() & Qt::WindowStaysOnTopHint), window->preferences().current().always_on_top);
    const preference_set now = window->preferences().current();
    window.reset();
    capture_pipeline next_parts;
    main_window next(next_parts);
    EXPECT_EQ(next.preferences().current(), now);
  }
}

TEST_F(menus_test, channel_shortcuts_send_the_channel_and_store_nothing) {
  auto window = streaming_window();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  QSignalSpy channel(window.get(), &main_window::change_channel);
  QSignalSpy standard(window.get(), &main_window::set_standard);
  for (int n : {2, 0, 3, 1}) QTest::keyClick(window.get(), Qt::Key(Qt::Key_0 + n), Qt::ControlModifier);
  action(*window, "&Channel", "3")->trigger();
  QList<int> channels;
  for (const auto& args : channel) channels << args.at(0).toInt();
  EXPECT_EQ(channels, (QList<int>{2, 0, 3, 1, 3}));
  EXPECT_EQ(standard.count(), 0);
  EXPECT_EQ(window->preferences().current(), preference_set{});
  EXPECT_EQ(checked_in(*window, "&Input"), QStringList{"&Composite"});
  EXPECT_FALSE(QFile::exists(file_path()));
  EXPECT_EQ(window->size(), with_meters({768, 596}));
}

TEST_F(menus_test, every_scale_of_every_format) {
  struct format_case {
    QByteArray bytes;
    QSize full;  // the video area at 100 %
  };
  const format_case formats[] = {
      {QByteArray("\x00\x00\x00\x00\x01\x00\x00\x00\x00", 9), {768, 576}},
      {QByteArray("\x00\x00\x00\x01\x01\x00\x00\x00\x00", 9), {768, 432}},
      {QByteArray("\x00\x01\x00\x00\x01\x00\x00\x00\x00", 9), {640, 480}},
      {QByteArray("\x00\x01\x01\x01\x01\x00\x00\x00\x00", 9), {640, 360}},
  };
  const struct {
    const char* text;
    QSize area[4];
  } scales[] = {
      {"50%", {{384, 288}, {384, 216}, {320, 240}, {320, 180}}},
      {"100%", {{768, 576}, {768, 432}, {640, 480}, {640, 360}}},
      {"150%", {{1152, 864}, {1152, 648}, {960, 720}, {960, 540}}},
      {"200%", {{1536, 1152}, {1536, 864}, {1280, 960}, {1280, 720}}},
      {"250%", {{1920, 1440}, {1920, 1080}, {1600, 1200}, {1600, 900}}},
      {"300%", {{2304, 1728}, {2304, 1296}, {1920, 1440}, {1920, 1080}}},
  };
  for (int f = 0; f < 4; ++f) {
    SCOPED_TRACE(formats[f].bytes.toHex(' ').toStdString());
    store(formats[f].bytes);
    auto window = streaming_window();
    EXPECT_TRUE(size_becomes(*window, with_meters(formats[f].full + QSize(0, 20))));
    for (const auto& scale : scales) {
      SCOPED_TRACE(scale.text);
      action(*window, "&Window", scale.text)->trigger();
      const QSize expected = with_meters(scale.area[f] + QSize(0, 20));
      EXPECT_TRUE(size_becomes(*window, expected)) << str(window->size()) << " instead of " << str(expected);
      EXPECT_EQ(checked_in(*window, "&Window"), QStringList{scale.text});
    }
    EXPECT_EQ(stored(), formats[f].bytes) << "the scale is not stored";
  }
}

TEST_F(menus_test, format_changes_return_to_100_percent_and_keep_the_scale_mark) {
  auto window = streaming_window();
  action(*window, "&Window", "200%")->trigger();
  ASSERT_TRUE(size_becomes(*window, with_meters({1536, 1172})));

  action(*window, "Aspect &ratio", "&16:9")->trigger();
  EXPECT_TRUE(size_becomes(*window, with_meters({768, 452}))) << str(window->size());
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"200%"});

  action(*window, "&Window", "150%")->trigger();
  ASSERT_TRUE(size_becomes(*window, with_meters({1152, 668})));
  action(*window, "&NTSC/PAL", "&NTSC")->trigger();
  EXPECT_TRUE(size_becomes(*window, with_meters({640, 380}))) << str(window->size());
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"150%"});

  action(*window, "&Window", "50%")->trigger();
  ASSERT_TRUE(size_becomes(*window, with_meters({320, 200})));
  action(*window, "&Display", "&Interlaced")->trigger();
  EXPECT_TRUE(size_becomes(*window, with_meters({640, 380}))) << str(window->size());
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"50%"});

  action(*window, "&Window", "300%")->trigger();
  ASSERT_TRUE(size_becomes(*window, with_meters({1920, 1100})));
  action(*window, "&Input", "&S-Video")->trigger();
  EXPECT_TRUE(size_becomes(*window, with_meters({640, 380}))) << str(window->size());
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"300%"});

  // A channel leaves the size alone.
  action(*window, "&Window", "250%")->trigger();
  ASSERT_TRUE(size_becomes(*window, with_meters({1600, 920})));
  action(*window, "&Channel", "1")->trigger();
  QTest::qWait(50);
  EXPECT_EQ(window->size(), with_meters({1600, 920}));

  // Always on top changes only the hint.
  action(*window, "&Window", "&Always on top")->trigger();
  EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(window->isVisible());
  QTest::qWait(50);
  EXPECT_EQ(window->size(), with_meters({1600, 920}));
  action(*window, "&Window", "&Always on top")->trigger();
  EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
  QTest::qWait(50);
  EXPECT_EQ(window->size(), with_meters({1600, 920}));
  EXPECT_EQ(checked_in(*window, "&Window"), QStringList{"250%"});
}

TEST_F(menus_test, the_stored_format_takes_effect_at_the_first_stream) {
  store(QByteArray("\x00\x01\x00\x01\x01\x01\x00\x00\x00", 9));  // NTSC, 16:9, on top
  capture_pipeline parts;
  main_window window(parts);
  QSignalSpy standard(&window, &main_window::set_standard);
  window.show();
  EXPECT_EQ(window.size(), with_meters({768, 596}));
  EXPECT_EQ(checked_in(window, "&NTSC/PAL"), QStringList{"&NTSC"});
  EXPECT_EQ(checked_in(window, "Aspect &ratio"), QStringList{"&16:9"});
  EXPECT_TRUE(action(window, "&Window", "&Always on top")->isChecked());
  EXPECT_FALSE(window.windowFlags() & Qt::WindowStaysOnTopHint) << "the hint waits for the stream";
  EXPECT_EQ(standard.count(), 0);

  // The in-process stick streams on its own.
  ASSERT_TRUE(size_becomes(window, with_meters({640, 380}))) << str(window.size());
  EXPECT_EQ(standard.count(), 1);
  EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
  ASSERT_TRUE(QTest::qWaitFor([&] { return stick->capture_enabled(); }, 10000));
  QTest::qWait(100);
  EXPECT_EQ(standard.count(), 1) << "later streams apply nothing";
  EXPECT_EQ(window.size(), with_meters({640, 380}));
}

// The decoder's input mode follows the Input menu even when the new input's
// channel is the one already in use (channel 0 chosen while on Composite,
// then S-Video, whose channel is 0 too).
TEST_F(menus_test, an_input_change_on_the_channel_in_use_reaches_the_decoder) {
  capture_pipeline parts;
  main_window window(parts);
  window.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return stick->capture_enabled() && stick->decoder(0x02) == 0xC0; }, 10000));
  action(window, "&Channel", "0")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return stick->bridge(0x000) == 0x80; }, 10000));
  action(window, "&Input", "&S-Video")->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x02) == 0xC9 && stick->decoder(0x88) == 0xCA; }, 10000))
      << "decoder input mode 0x" << std::hex << int(stick->decoder(0x02));
  action(window, "&Input", "&Composite")->trigger();  // channel 2: a different channel
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x02) == 0xC0 && stick->bridge(0x000) == 0x90; }, 10000));
}

// A file with PAL-60 set but 60 Hz clear describes no standard of the menu:
// it is read as PAL, which the menu shows and can leave and come back to.
TEST_F(menus_test, pal_60_without_60_hz_is_read_as_pal) {
  store(QByteArray("\x00\x00\x01\x00\x01\x00\x00\x00\x00", 9));
  capture_pipeline parts;
  main_window window(parts);
  window.show();
  EXPECT_FALSE(window.preferences().current().pal_60);
  EXPECT_EQ(checked_in(window, "&NTSC/PAL"), QStringList{"&PAL"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return stick->capture_enabled(); }, 10000));
  QTest::qWait(100);
  EXPECT_FALSE(parts.capture.settings().pal_60());
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0E) == 0x01 && stick->decoder(0x08) == 0x39; }, 10000));
  action(window, "&NTSC/PAL", "PAL-&60")->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0E) == 0x11 && stick->decoder(0x08) == 0x79; }, 10000));
  action(window, "&NTSC/PAL", "&PAL")->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return stick->decoder(0x0E) == 0x01 && stick->decoder(0x08) == 0x39; }, 10000));
}

// Closes the next modal box and keeps its title and text.
QPair<QString, QString> answer_box(const std::function<void()>& open) {
  QPair<QString, QString> seen;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    seen = {box->windowTitle(), box->text()};
    box->close();
  });
  poll.start(10);
  open();
  return seen;
}

TEST_F(menus_test, help_boxes) {
  auto window = streaming_window();
  const auto [title, text] = answer_box([&] { action(*window, "&Help", "&About Ostrevin")->trigger(); });
  EXPECT_EQ(title, "About Ostrevin");
  EXPECT_TRUE(text.contains(R"(<i>"This is such a wonderful experience here with the Buddhist."</i>)"));
  EXPECT_TRUE(text.contains("<b><u>Legal information</u></b>"));
  EXPECT_TRUE(text.contains(R"(<a href="https://ffmpeg.org">FFmpeg project</a>)"));
  EXPECT_TRUE(text.contains(R"(<a href="https://www.gnu.org/licenses/lgpl-3.0.html">LGPLv3.0</a>)"));
  EXPECT_TRUE(text.contains("<p>&nbsp;</p>"));
  EXPECT_EQ(text.count("<p>"), 4);
  QTextDocument document;
  document.setHtml(text);
  const QString plain =
      QString("\"This is such a wonderful experience here with the Buddhist.\"\n") +
      " \nLegal information\nThis software uses libraries from the FFmpeg project under the LGPLv3.0.";
  EXPECT_EQ(document.toPlainText().toStdString(), plain.toStdString());

  const auto qt_box = answer_box([&] { action(*window, "&Help", "About &Qt")->trigger(); });
  EXPECT_EQ(qt_box.first, "About Qt");
}

}  // namespace
