#include "app/debug_console.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QTextStream>

#include "base/logging.h"

debug_console::debug_console(QWidget* parent) : QMainWindow(parent), label(new QLabel()) {
  setCentralWidget(label);
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  screen_width = screen.width();
  screen_height = screen.height();
  console_width = screen_width;
  resize(console_width, console_height);
  label->resize(size());
  setMaximumSize(console_width, console_height);
  label->setMaximumSize(console_width, console_height);
  move(0, screen_height - console_height);
}

debug_console::~debug_console() {
  if (log_file) {
    if (log_stream) log_stream->flush();
    log_file->close();
    delete log_stream;
    delete log_file;
  }
}

void debug_console::open_log() {
  log_file = new QFile(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/debug_console_out.txt");
  if (log_file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
    log_stream = new QTextStream(log_file);
  clock.start();
}

void debug_console::set_text(QString line) {
  if (line.isEmpty()) return;
  // Ten characters, three decimals: "    12.500".
  const QString stamp = QString("%1").arg(clock.elapsed(), 10, 'f', 3);
  if (log_stream) {
    *log_stream << stamp << ' ' << line << '\n';
    if (flush_each_line) log_stream->flush();
  } else {
    qCDebug(app_log).noquote() << stamp + ' ' + line;
  }
  if (show_text) {
    text = line + "\n" + text;
    if (text.size() > max_text_length) text.truncate(max_text_length);
    label->setText(text);
  }
}
