// A diagnostic strip along the bottom of the primary screen: the newest
// debug lines first, and every line, stamped with the time since the log
// was opened, in a text file on the desktop. Nothing in the program creates
// one; a diagnostic build or a test attaches it to the debug text signals.
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
  stopwatch clock;
};
