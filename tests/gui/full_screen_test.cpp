// What people look at while a tape plays, in a real window on the virtual
// stick: the picture saved as a file, and full screen with the menus still at
// hand. (The screen's geometry in full screen is the window manager's to
// grant: tests/e2e/full_screen.sh checks it with one.)
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QSignalSpy>

#include "app/picture_saver.h"
#include "render/video_widget.h"
#include "tests/support/window_fixture.h"

namespace {

struct look_test : recording_window_fixture {
  // The saved picture's path, once the notice tells it (named for the
  // date and time, numbered after the first of a second).
  QString wait_saved() {
    static const QRegularExpression told(R"(Picture saved as (.+/ostrevin-\d{4}(-\d\d){5}(-\d+)?\.png))");
    QRegularExpressionMatch m;
    EXPECT_TRUE(QTest::qWaitFor([&] { return (m = told.match(notice_text(*window))).hasMatch(); }, 10000))
        << notice_text(*window).toStdString();
    return m.captured(1);
  }
};

}  // namespace

TEST_F(look_test, a_saved_picture_is_the_shown_mode_at_its_display_aspect) {
  // s_video sixty_hz pal_60 widescreen easycap_audio always_on_top f2 interlaced blended
  const struct {
    const char* name;
    QByteArray preferences;
    QSize shown, saved;  // the display picture's size, the file's
  } cases[] = {
      {"PAL 4:3 F1", QByteArray("\0\0\0\0\1\0\0\0\0", 9), {768, 576}, {768, 576}},
      {"PAL 16:9 Interlaced", QByteArray("\0\0\0\1\1\0\0\1\0", 9), {768, 432}, {1024, 576}},
      {"NTSC 4:3 Field-blended", QByteArray("\0\1\0\0\1\0\0\0\1", 9), {640, 480}, {640, 480}},
      {"NTSC 16:9 F1", QByteArray("\0\1\0\1\1\0\0\0\0", 9), {640, 360}, {854, 480}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store(c.preferences);
    open_streaming();
    // Once the stored settings are streamed and shown.
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->display.shown_picture().size() == c.shown; }, 10000));
    const QString folder = captures.filePath(c.name);
    parts->recording.next_settings().base_name = folder + "/tape";
    menu_item("&File", "Save &picture")->trigger();
    const QString path = wait_saved();
    EXPECT_EQ(QFileInfo(path).absolutePath(), folder);
    const QImage saved(path);
    ASSERT_EQ(saved.size(), c.saved);
    EXPECT_TRUE(shows_test_pattern_bars(saved));
  }
}

TEST_F(look_test, pictures_saved_while_recording_lose_no_field_and_take_free_names) {
  open_streaming();
  start_recording(captures.filePath("tape"));
  const unsigned fields = parts->capture.assembled_fields();
  menu_item("&File", "Save &picture")->trigger();
  const QString first = wait_saved();
  EXPECT_EQ(QFileInfo(first).absolutePath(), captures.path());
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->capture.assembled_fields() > fields + 100; }, 10000));
  menu_item("&File", "&Stop capture")->trigger();
  EXPECT_EQ(parts->recording.fields_lost(), 0);

  // For a given second: a taken name is skipped and its file left alone; a
  // folder that cannot be made, and no picture yet, are told.
  picture_saver saver;
  QSignalSpy saved(&saver, &picture_saver::saved), failed(&saver, &picture_saver::failed);
  const QDateTime when(QDate(2026, 12, 9), QTime(20, 31, 5));
  QFile taken(captures.filePath("ostrevin-2026-12-09-20-31-05.png"));
  ASSERT_TRUE(taken.open(QIODevice::WriteOnly) && taken.write("taken") == 5);
  taken.close();
  const QImage image(first);
  for (const QString& folder : {captures.path(), captures.path(), QString("/dev/null/pictures")})
    saver.save(image, {768, 576}, folder, when);
  saver.save(QImage(), {768, 576}, captures.path(), when);
  saver.save(std::vector<unsigned char>(), picture_info(), {768, 576}, captures.path(), when);
  ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() + failed.count() == 5; }, 10000));
  EXPECT_EQ(failed.count(), 3);
  ASSERT_EQ(saved.count(), 2);
  EXPECT_EQ(saved[0][0].toString(), captures.filePath("ostrevin-2026-12-09-20-31-05-2.png"));
  EXPECT_EQ(saved[1][0].toString(), captures.filePath("ostrevin-2026-12-09-20-31-05-3.png"));
  ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
  EXPECT_EQ(taken.readAll(), "taken");
}

TEST_F(look_test, full_screen_hides_all_but_the_picture_and_keeps_the_menus_at_hand) {
  open_streaming();
  QAction* item = menu_item("&Window", "&Full screen");
  auto* view = window->findChild<video_widget*>();
  ASSERT_TRUE(view);
  auto send_mouse = [&](QEvent::Type type, Qt::MouseButton button) {
    QMouseEvent event(type, QPointF(20, 20), view->mapToGlobal(QPointF(20, 20)), button, button, Qt::NoModifier);
    QApplication::sendEvent(view, &event);
  };

  item->trigger();
  EXPECT_TRUE(window->isFullScreen());
  EXPECT_TRUE(item->isChecked());
  EXPECT_FALSE(window->menuBar()->isVisible());
  for (QWidget* w : window->centralWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
    if (w != view && w->objectName() != "notice") EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();

  // The pointer goes after two seconds still, and comes back with a move.
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->cursor().shape() == Qt::BlankCursor; }, 10000));
  send_mouse(QEvent::MouseMove, Qt::NoButton);
  EXPECT_NE(view->cursor().shape(), Qt::BlankCursor);

  // A right-click opens the menu bar's menus.
  QStringList offered;
  QTimer::singleShot(0, [&] {
    if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
      for (QAction* a : menu->actions()) offered << a->text();
      menu->close();
    }
  });
  QContextMenuEvent context(QContextMenuEvent::Mouse, QPoint(20, 20), view->mapToGlobal(QPoint(20, 20)));
  QApplication::sendEvent(view, &context);
  QStringList bar;
  for (QAction* a : window->menuBar()->actions()) bar << a->text();
  EXPECT_EQ(offered, bar);

  // A size asked for meanwhile is the one the window comes back to.
  menu_item("&Window", "200%")->trigger();
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_FALSE(window->isFullScreen());
  EXPECT_FALSE(item->isChecked());
  EXPECT_TRUE(window->menuBar()->isVisible());
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->width() == 2 * 768; }, 5000)) << view->width();

  // A double click on the picture goes in, and another comes out.
  send_mouse(QEvent::MouseButtonDblClick, Qt::LeftButton);
  EXPECT_TRUE(window->isFullScreen());
  send_mouse(QEvent::MouseButtonDblClick, Qt::LeftButton);
  EXPECT_FALSE(window->isFullScreen());
}
