// The diagnostic console: stamps, the on-screen text cap, the log file.
#include "app/debug_console.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

TEST(debug_console, sits_along_the_bottom_of_the_screen_hidden) {
  debug_console console;
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  EXPECT_FALSE(console.isVisible());
  EXPECT_EQ(console.size(), QSize(screen.width(), 240));
  EXPECT_EQ(console.pos(), QPoint(0, screen.height() - 240));
  EXPECT_TRUE(console.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(console.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(debug_console, shows_the_newest_lines_first_within_1000_characters) {
  debug_console console;
  console.show_text = true;
  console.set_text("");
  EXPECT_TRUE(console.text.isEmpty());
  for (int i = 0; i < 300; ++i) console.set_text(QString("line %1").arg(i, 5, 10, QChar('0')));  // ten characters
  EXPECT_EQ(console.text.size(), 1000);
  EXPECT_TRUE(console.text.startsWith("line 00299\nline 00298\n"));
  EXPECT_EQ(console.label->text(), console.text);

  debug_console quiet;  // show_text off: nothing on screen
  quiet.set_text("hidden");
  EXPECT_TRUE(quiet.text.isEmpty());
}

TEST(debug_console, logs_stamped_lines_to_the_desktop_file) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  ASSERT_TRUE(QDir(home.path()).mkpath("Desktop"));
  const QByteArray old_home = qgetenv("HOME");
  qputenv("HOME", home.path().toUtf8());
  const QString path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/debug_console_out.txt";
  ASSERT_TRUE(path.startsWith(home.path())) << path.toStdString();
  {
    debug_console console;
    console.open_log();
    console.set_text("abc");
    console.set_text("");
    QTest::qWait(20);
    console.set_text("def");
  }
  qputenv("HOME", old_home);
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
  const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
  ASSERT_EQ(lines.size(), 3);  // two lines and the empty rest after the last line end
  for (int i = 0; i < 2; ++i) {
    // A stamp of exactly ten characters, fixed point with three decimals.
    const QString& line = lines[i];
    ASSERT_GE(line.size(), 14);
    EXPECT_EQ(line[10], ' ');
    bool ok = false;
    const double ms = line.left(10).trimmed().toDouble(&ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(line.left(10).section('.', 1).size(), 3);
    EXPECT_GE(ms, 0.0);
    EXPECT_EQ(line.mid(11), i == 0 ? "abc" : "def");
  }
  EXPECT_GE(lines[1].left(10).trimmed().toDouble(), 20.0);
}

}  // namespace
