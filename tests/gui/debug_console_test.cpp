// The diagnostic console: stamps, the on-screen text cap, the log file.
#include "app/debug_console.h"

#include <gtest/gtest.h>

#include <QDir>
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

// Every message of the program's categories while one console is attached
// to them, handed straight back to the console as a handler that feeds it
// would: a console that fed itself would never return.
struct console_feed {
  static inline debug_console* console = nullptr;
  static inline QStringList messages;
  static inline int while_writing = 0;
  static void handler(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (!context.category || !QByteArray(context.category).startsWith("ostrevin.")) return;
    messages << message;
    if (debug_console::writing_a_line()) ++while_writing;
    if (console) console->set_text(message);
  }
};

TEST(debug_console, without_its_file_says_where_once_and_never_feeds_itself) {
  // No desktop folder; a file where the desktop folder should be.
  const QStringList lines = {"abc", "def", "ghi"};
  for (const bool file_in_the_way : {false, true}) {
    SCOPED_TRACE(file_in_the_way ? "Desktop is a file" : "no Desktop folder");
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    if (file_in_the_way) {
      QFile blocker(home.path() + "/Desktop");
      ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
    const QByteArray old_home = qgetenv("HOME");
    qputenv("HOME", home.path().toUtf8());
    console_feed::messages.clear();
    console_feed::while_writing = 0;
    const QtMessageHandler previous = qInstallMessageHandler(console_feed::handler);
    {
      debug_console console;
      console.show_text = true;
      console_feed::console = &console;
      console.open_log();
      EXPECT_EQ(console.log_stream, nullptr);
      EXPECT_TRUE(console.log_path().startsWith(home.path())) << console.log_path().toStdString();
      for (const QString& line : lines) console.set_text(line);
      console_feed::console = nullptr;
      // The place named once, on the screen too.
      ASSERT_EQ(console_feed::messages.filter("cannot be written to " + console.log_path()).size(), 1)
          << console_feed::messages.join('\n').toStdString();
      EXPECT_TRUE(console.text.contains(console.log_path()));
    }
    qInstallMessageHandler(previous);
    qputenv("HOME", old_home);
    // The message once, said while the console wrote; the lines it was fed
    // came from the debug output and are not logged again.
    ASSERT_EQ(console_feed::messages.size(), 1) << console_feed::messages.join('\n').toStdString();
    EXPECT_EQ(console_feed::while_writing, 1);
    // No folder made where there was none.
    EXPECT_FALSE(QDir(home.path() + "/Desktop").exists());
  }
}

}  // namespace
