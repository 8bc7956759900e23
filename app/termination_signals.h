// Turns the signals that ask a desktop program to end (SIGTERM at logout or
// shutdown, SIGINT from Ctrl+C in a terminal, SIGHUP when the terminal goes)
// into a Qt signal on the thread that made this object, so that the window
// can run its close sequence and finish a recording instead of dying with
// the file open. SIGXFSZ is ignored: a write past a file-size limit then
// fails with an error the recorder reports, instead of killing the program.
//
// One instance at a time; it puts the previous handlers back when it goes.
#pragma once

#include <QObject>
#include <csignal>

class QSocketNotifier;

class termination_signals : public QObject {
  Q_OBJECT

 public:
  explicit termination_signals(QObject* parent = nullptr);
  ~termination_signals() override;

  // The exit code a program ended by this signal reports, as a shell does.
  static int exit_code(int signal_number) { return 128 + signal_number; }

 signals:
  void received(int signal_number);

 private:
  void read_pipe();

  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
  struct sigaction previous_[4] = {};
};
