// The main window: shows the live picture, the menus, the notice line and
// the recording's progress in its title, and asks the parts beside it
// (capture_pipeline: the threads, the recording controller, the sound
// preview, the display feed) for what the menus choose. It keeps the
// preferences file and the close sequence: the threads stop in order, a
// recording is finished first, and the exit code says why the program ended.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>

#include "app/capture_pipeline.h"
#include "app/command_line.h"
#include "app/recording_repair.h"
#include "app/signal_watch.h"
#include "app/window_preferences.h"

class QCloseEvent;
class QTimer;
class full_screen;
class main_menus;
class notice_line;
class picture_dialog;
class picture_saver;
class video_widget;
class x_window_watch;

class main_window : public QMainWindow {
  Q_OBJECT

 public:
  // `parts` outlive the window; `options`: what the command line asked of
  // this run.
  explicit main_window(capture_pipeline& parts, const launch_options& options = {}, QWidget* parent = nullptr);
  ~main_window() override;

  const window_preferences& preferences() const { return preferences_; }
  // The process is about to end without its event loop (the display
  // connection is gone): a running recording is finished now, its file whole
  // and indexed, and the stick let go. Touches nothing of the window; safe
  // from any thread, once, with the event loop never to run again. Returns
  // the recording's file, empty when none ran.
  QString finish_for_exit();
  // What the program exits with: the code its close sequence or a device
  // error chose, whatever the event loop returned after it.
  int exit_code(int event_loop_code) const { return chosen_exit_code_ >= 0 ? chosen_exit_code_ : event_loop_code; }

 public slots:
  // The system asks the program to end (logout, Ctrl+C, a closed terminal):
  // the close sequence runs without a question, a recording is finished,
  // and the exit code names the signal.
  void close_for_signal(int signal_number);

 signals:
  // What the window asks of the capture thread: program the stick for the
  // settings in force, and take this channel.
  void set_standard();
  void change_channel(int channel);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void connect_parts();
  void connect_menus();
  // The preferences in force to the threads, the display and the window.
  void apply_preferences();
  void apply_always_on_top();
  void resize_video_area(double scale);
  void save_preferences();
  // "Picture...": the dialog, shown for the input in force.
  void show_picture_dialog();
  // Each streaming run; the first applies the stored preferences. Then the
  // sound preview starts from the chosen source.
  void stream_started();
  void stream_state_changed(capture_thread::stream_state state, unsigned count);
  // What the decoder says of the signal, on the notice line; the switch
  // buttons work while no recording runs.
  void show_signal();
  // The stick cannot be used: says why and ends the program.
  void device_error(const QString& text);
  // The close sequence without a question (a signal, or something outside
  // destroyed the window's X window), ending with `code` (-1: the code
  // chosen so far); the first decides.
  void close_unasked(int code, const QString& why);
  // Chooses the exit code (the first choice holds) and ends the event loop.
  void end_event_loop(int code);

  // Recording (main_window_recording.cpp).
  void ask_capture_file();
  void ask_stop_after();
  // The capture file's disk has room for less than ten minutes: asks
  // whether to record anyway. False: do not start.
  bool room_for_recording();
  void start_recording();
  // Returns the recording's account of its time without a signal (empty
  // when it had one throughout, or when none ran).
  QString stop_recording();
  // The menus back to what they are while no recording runs; the account
  // above, also logged.
  QString recording_stopped();
  // The recording ended by itself: the title, the notice and a message say how.
  void recording_ended(recording_end why, const QString& message);
  // Ends a recording that cannot go on, and says why and what the file
  // holds; `title`, when given, stays in the title bar until the next one.
  void end_recording_because(const QString& why, const QString& title = QString());
  // While recording: the window title tells how it goes.
  void show_recording_status();

  capture_pipeline& parts_;
  capture_thread& capture_;
  render_thread& render_;
  recording_controller& recording_;
  sound_preview& sound_;
  recording_repair repair_;
  signal_watch signal_watch_;
  window_preferences preferences_;
  // What the capture thread was last asked for.
  capture_settings current_capture_;

  main_menus* menus_ = nullptr;
  video_widget* display_ = nullptr;
  notice_line* notice_ = nullptr;
  // "Picture...", made the first time it is asked for.
  picture_dialog* picture_ = nullptr;
  full_screen* full_screen_ = nullptr;
  // "Save picture" writes on a thread of its own.
  picture_saver* picture_saver_ = nullptr;
  // A picture control moved since the files were last written.
  bool picture_unsaved_ = false;
  QTimer* status_timer_ = nullptr;
  std::unique_ptr<x_window_watch> window_watch_;

  bool closing_ = false;
  // Set when the program is ended from outside (a signal, the X window
  // destroyed): the close asks nothing and exits with exit_code_on_close_.
  bool close_unasked_ = false;
  int exit_code_on_close_ = 0;
  // The exit code once the close sequence or a device error has chosen it;
  // -1 before.
  int chosen_exit_code_ = -1;
  bool first_stream_pending_ = true;
  // --record: start when the stick streams, then with the next field.
  bool record_on_stream_ = false;
  bool record_at_next_field_ = false;
  // Set when the last recording ended by itself (its time limit, a full
  // disk): the title says so until the next one starts.
  QString ended_title_;
};

// The application's style sheet (tessalin.css in the working directory);
// empty without one.
QString load_style_sheet();
