// The main window under a real X server: what a person sees at start-up,
// with and without a stick, and on close.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "render/video_widget.h"
#include "sim/in_process_backend.h"
#include "tests/support/window_fixture.h"

namespace {

struct window_test : ::testing::Test {
  in_process_backend backend;
  scoped_usb_backend backend_in_use{&backend};
};

TEST_F(window_test, no_stick_shows_the_message_over_the_window_and_exits_1) {
  capture_pipeline parts;
  main_window window(parts);
  window.show();
  QString text, title;
  bool window_visible = false, parent_is_window = false, only_ok = false, critical = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    text = box->text();
    title = box->windowTitle();
    window_visible = window.isVisible();
    parent_is_window = box->parentWidget() == &window;
    only_ok = box->buttons().size() == 1 && box->standardButtons() == QMessageBox::Ok;
    critical = box->icon() == QMessageBox::Critical;
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(20);
  const int code = QApplication::exec();
  EXPECT_EQ(code, 1);
  EXPECT_EQ(text,
            "Sorry, Ostrevin could not locate the EasyCap hardware attached to this computer. Please connect the "
            "hardware, then try again.");
  EXPECT_EQ(title, "Ostrevin");
  EXPECT_TRUE(window_visible);
  EXPECT_TRUE(parent_is_window);
  EXPECT_TRUE(only_ok);
  EXPECT_TRUE(critical);
  EXPECT_TRUE(parts.capture.isFinished());
}

TEST_F(window_test, with_a_stick_the_window_opens_at_pal_size_and_closes_with_0) {
  auto stick = std::make_shared<virtual_stick>();
  backend.add(stick);
  capture_pipeline parts;
  main_window window(parts);
  window.show();
  EXPECT_EQ(window.windowTitle(), "Ostrevin");
  const QSize pal_size = with_meters({768, 596});
  EXPECT_EQ(window.size(), pal_size);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  // The X server may report the first mapping before the resize lands.
  EXPECT_TRUE(QTest::qWaitFor([&] { return window.geometry().size() == pal_size; }, 5000))
      << "client area " << window.geometry().width() << "x" << window.geometry().height();
  // The picture keeps the area it had before the meters: the window's less
  // its menu bar. The meters lie under it.
  const auto* picture = window.findChild<const video_widget*>();
  const auto* meters = window.findChild<const sound_meters*>("sound_meters");
  ASSERT_TRUE(picture && meters);
  EXPECT_EQ(picture->size(), QSize(768, 596 - window.menuBar()->height()));
  EXPECT_EQ(meters->geometry(), QRect(picture->x(), picture->geometry().bottom() + 1, 768, sound_meters::fixed_height));

  // Close once the stick is programmed and streaming.
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(QTest::qWaitFor([&] { return stick->capture_enabled(); }, 10000));
    window.close();
  });
  const int code = QApplication::exec();
  EXPECT_EQ(code, 0);
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(parts.capture.isFinished());
  EXPECT_FALSE(parts.capture.isRunning());
}

TEST_F(window_test, a_device_error_after_start_up_ends_cleanly) {
  // Between the first programming and a channel change the stick stops
  // accepting its streaming setting: the re-programming fails and the window
  // says why. (A stick pulled out is no error: the window waits for it.)
  auto stick = std::make_shared<virtual_stick>();
  backend.add(stick);
  capture_pipeline parts;
  auto window = std::make_unique<main_window>(parts);
  window->show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return stick->capture_enabled(); }, 10000));
  stick_faults f;
  f.refuse_alternate = true;
  stick->set_faults(f);

  QString text;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll.stop();
    text = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(20);
  QTimer::singleShot(0, [&] { emit window->change_channel(1); });
  QTimer guard;  // never wait for ever
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(30000);
  EXPECT_EQ(QApplication::exec(), 1);
  EXPECT_TRUE(text.startsWith("Sorry, the EasyCap could not start its video stream")) << text.toStdString();
  window.reset();  // must not abort on a running thread
}

TEST(style_sheet, read_from_the_working_directory_when_present) {
  const QString old = QDir::currentPath();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QDir::setCurrent(dir.path());
  EXPECT_EQ(load_style_sheet(), QString());
  QFile css("tessalin.css");
  ASSERT_TRUE(css.open(QIODevice::WriteOnly));
  css.write("QMessageBox { background: #123456; }\n");
  css.close();
  EXPECT_EQ(load_style_sheet(), "QMessageBox { background: #123456; }\n");
  QDir::setCurrent(old);
}

}  // namespace
