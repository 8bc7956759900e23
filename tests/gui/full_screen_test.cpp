// What people look at while a tape plays, in a real window on the virtual
// stick: the picture saved as a file, and full screen with the menus still at
// hand. (The screen's geometry in full screen is the window manager's to
// grant: tests/e2e/full_screen.sh checks it with one.)
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QSignalSpy>

#include "app/picture_saver.h"
#include "render/video_widget.h"
#include "sim/test_pattern.h"
#include "tests/support/window_fixture.h"

namespace {

struct snapshot_case {
  const char* name;
  QByteArray preferences;  // the nine bytes
  QSize shown;             // the display's picture
  QSize saved;
};

// The colour bars at their centres, a third of the way down.
::testing::AssertionResult shows_bars(const QImage& image) {
  const int y = image.height() / 3;
  for (int bar = 0; bar < test_pattern::bar_count; ++bar) {
    const int x = (2 * bar + 1) * image.width() / 16;
    const QRgb got = image.pixel(x, y);
    const test_pattern::rgb& want = test_pattern::bars_rgb[bar];
    if (std::max({std::abs(qRed(got) - want.r), std::abs(qGreen(got) - want.g), std::abs(qBlue(got) - want.b)}) > 12)
      return ::testing::AssertionFailure() << "bar " << bar << " at " << x << "," << y << " is " << qRed(got) << ","
                                           << qGreen(got) << "," << qBlue(got);
  }
  return ::testing::AssertionSuccess();
}

struct look_test : recording_window_fixture {
  // The saved picture's path, once the notice tells it.
  QString wait_saved() {
    QString path;
    const bool told = QTest::qWaitFor(
        [&] {
          const QString text = notice_text(*window);
          const qsizetype at = text.indexOf("Picture saved as ");
          if (at < 0) return false;
          path = text.mid(at + 17).section('\n', 0, 0);
          return true;
        },
        10000);
    EXPECT_TRUE(told) << notice_text(*window).toStdString();
    return path;
  }
  video_widget* picture() { return window->findChild<video_widget*>(); }
};

}  // namespace

TEST_F(look_test, a_saved_picture_is_the_shown_mode_at_its_display_aspect) {
  // s_video sixty_hz pal_60 widescreen easycap_audio always_on_top f2 interlaced blended
  const snapshot_case cases[] = {
      {"PAL 4:3 F1", QByteArray("\0\0\0\0\1\0\0\0\0", 9), {768, 576}, {768, 576}},
      {"PAL 16:9 Interlaced", QByteArray("\0\0\0\1\1\0\0\1\0", 9), {768, 432}, {1024, 576}},
      {"NTSC 4:3 Field-blended", QByteArray("\0\1\0\0\1\0\0\0\1", 9), {640, 240}, {640, 480}},
      {"NTSC 16:9 F1", QByteArray("\0\1\0\1\1\0\0\0\0", 9), {640, 360}, {854, 480}},
  };
  for (const snapshot_case& c : cases) {
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
    EXPECT_TRUE(QFileInfo(path).fileName().startsWith("ostrevin-" + QDate::currentDate().toString("yyyy-MM-dd")));
    const QImage saved(path);
    ASSERT_EQ(saved.size(), c.saved);
    EXPECT_TRUE(shows_bars(saved));
  }
}

TEST_F(look_test, pictures_saved_while_recording_lose_no_field_and_take_free_names) {
  open_streaming();
  start_recording(captures.filePath("tape"));
  const int fields = int(parts->capture.assembled_fields());
  // Two within a second: the second is numbered, the first kept.
  auto* item = menu_item("&File", "Save &picture");
  item->trigger();
  const QString first = wait_saved();
  const QByteArray first_bytes = [&] {
    QFile f(first);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }();
  ASSERT_FALSE(first_bytes.isEmpty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return parts->capture.assembled_fields() > unsigned(fields + 100); }, 10000));
  menu_item("&File", "&Stop capture")->trigger();
  EXPECT_EQ(parts->recording.fields_lost(), 0);
  EXPECT_EQ(QFileInfo(first).absolutePath(), captures.path());

  // The names, for a given second: taken ones are skipped and left alone;
  // a folder that cannot be made is told.
  picture_saver saver;
  QSignalSpy saved(&saver, &picture_saver::saved), failed(&saver, &picture_saver::failed);
  const QDateTime when(QDate(2026, 12, 9), QTime(20, 31, 5));
  const QString taken = captures.filePath("ostrevin-2026-12-09-20-31-05.png");
  QFile(first).copy(taken);
  const QImage image = QImage(first);
  saver.save(image, {768, 576}, captures.path(), when);
  saver.save(image, {768, 576}, captures.path(), when);
  saver.save(image, {768, 576}, "/dev/null/pictures", when);
  saver.save(QImage(), {768, 576}, captures.path(), when);
  ASSERT_TRUE(QTest::qWaitFor([&] { return saved.count() + failed.count() == 4; }, 10000));
  ASSERT_EQ(saved.count(), 2);
  EXPECT_EQ(saved[0][0].toString(), captures.filePath("ostrevin-2026-12-09-20-31-05-2.png"));
  EXPECT_EQ(saved[1][0].toString(), captures.filePath("ostrevin-2026-12-09-20-31-05-3.png"));
  QFile kept(taken);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), first_bytes);
  EXPECT_EQ(failed.count(), 2);
}

TEST_F(look_test, full_screen_hides_all_but_the_picture_and_keeps_the_menus_at_hand) {
  open_streaming();
  QAction* item = menu_item("&Window", "&Full screen");
  video_widget* view = picture();
  ASSERT_TRUE(view);
  auto send_mouse = [&](QEvent::Type type, Qt::MouseButton button) {
    const QPointF at(20, 20);
    QMouseEvent event(type, at, view->mapToGlobal(at), button, button == Qt::NoButton ? Qt::NoButton : button,
                      Qt::NoModifier);
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
