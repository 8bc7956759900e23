// A diagnostic strip along the bottom of the primary screen: the newest
// debug lines first, and every line, stamped with the time since the log
// was opened, in a text file on the desktop. --debug opens one and feeds it
// every line of the program's logging categories from the message handler:
// that is its only feed.
//
// Without its file (no desktop folder, no room, no permission) where the
// file could not be written is said once; the lines are in the debug output
// already (the handler put them there), the timings on screen only. A line
// logged while a line is being written is the console's own: a message
// handler that feeds the console checks writing_a_line() and leaves it out,
// so the console never feeds itself.
#pragma once

#include <QMainWindow>
#include <QString>

#include "base/stopwatch.h"

class QFile;
class QLabel;
class QTextStream;

class debug_console : public QMainWindow {
  Q_OBJECT

 public:
  explicit debug_console(QWidget* parent = nullptr);
  ~debug_console() override;

  // Opens the log file on the desktop and starts the clock of the stamps.
  void open_log();
  // Turns every debug line of the program's categories on and takes each
  // line from the message handler, from any thread, until it is destroyed
  // (one console at a time). The handler before keeps every line but the
  // timings.
  void feed_from_log();
  // The log file's path, whether or not it could be opened.
  QString log_path() const { return log_path_; }
  // True while this thread is inside set_text(): what it logs then is the
  // console's own output.
  static bool writing_a_line();

  QLabel* label;
  bool flush_each_line = false;
  int console_width;
  int console_height = 240;
  int screen_width;
  int screen_height;
  QString text;
  int max_text_length = 1000;
  QFile* log_file = nullptr;
  QTextStream* log_stream = nullptr;
  bool show_text = false;

 public slots:
  void set_text(QString line);

 private:
  // The file is given up (said once).
  void give_up_log(const QString& reason);

  stopwatch clock;
  QString log_path_;
  bool log_given_up_ = false;
  bool fed_ = false;
};
