// The main window: owns the capture thread and the frame buffers, reads the
// preferences, builds the menus, shows the live picture, starts the capture,
// reports a missing stick, and stops the threads in order on close.
#pragma once

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "app/capture_pipeline.h"
#include "app/command_line.h"
#include "app/preference_set.h"
#include "app/recording_repair.h"
#include "app/window_menus.h"
#include "audio/sound_preview.h"
#include "base/stopwatch.h"
#include "capture/capture_thread.h"
#include "render/latency_record.h"

class QAction;
class QActionGroup;
class QLabel;
class QCloseEvent;
class QMenu;
class QMenuBar;
class QTimer;
class debug_console;
class video_widget;

class main_window : public QMainWindow {
  Q_OBJECT

 public:
  // `options`: what the command line asked of this run.
  explicit main_window(const launch_options& options = {}, QWidget* parent = nullptr);
  ~main_window() override;

  void apply_preferences();
  void apply_always_on_top();
  void resize_video_area(int width, int height);
  static QString load_style_sheet();
  void save_preferences();

  // Read-only views for the tests and for the parts that plug in later.
  const preference_set& current_preferences() const { return preferences; }
  const QString& preferences_file() const { return preferences_path; }
  capture_thread& capture() { return capture_; }
  render_thread& renderer() { return render_; }
  ::recorder& recorder() { return recording_.recorder(); }
  recording_controller& recording() { return recording_; }
  bool is_capturing() const { return recording_.is_recording(); }
  uint32_t dropped_frames_count() const { return recording_.frames_dropped_total(); }
  bool is_closing() const { return closing; }
  const sound_preview& sound() const { return sound_; }
  int displayed_images() const { return images_shown; }
  const latency_record& display_latency_record() const { return display_latency; }
  // What the notice over the picture says; empty while it is hidden.
  QString notice_text() const;
  // Fields the running (or last) recording lost: never came whole from the
  // stick, or dropped on the way to the file.
  int64_t recording_fields_lost() const { return recording_.fields_lost(); }
  // Each recording stops by itself after this long; 0: no limit.
  int64_t stop_after_ms() const { return recording_.stop_after_ms(); }
  void set_stop_after_ms(int64_t ms) { recording_.set_stop_after_ms(ms); }
  // The debug console --debug opened; null without it.
  debug_console* console() const { return console_.get(); }
  // The process is about to end without its event loop (the display
  // connection is gone): a running recording is finished now, its file whole
  // and indexed, and the stick let go. Touches nothing of the window; safe
  // from any thread, once, with the event loop never to run again. Returns
  // the recording's file, empty when none ran.
  QString finish_for_exit();
  // What the program exits with: the code its close sequence or a device
  // error chose, whatever the event loop returned after it.
  int exit_code(int event_loop_code) const { return chosen_exit_code >= 0 ? chosen_exit_code : event_loop_code; }
  // Takes a whole preference set at once, as loading the file does.
  void set_preferences(const preference_set& p) {
    preferences = p;
    apply_preferences();
  }

 signals:
  void set_standard();
  void change_channel(int channel);
  // A display picture for the video widget.
  void picture_ready(QImage image);

 public slots:
  void capture_device_not_found();
  void capture_device_not_usb_2_0();
  // The stick is there but cannot be used; says why.
  void capture_device_unusable(capture_thread::device_problem problem);
  // Once per field the render thread converted.
  void field_rendered(bool field_flag);
  // Each streaming run; the first applies the stored preferences. Then the
  // sound preview starts from the chosen source.
  void audio_start();
  // The system asks the program to end (logout, Ctrl+C, a closed terminal):
  // the close sequence runs without a question, a recording is finished,
  // and the exit code names the signal.
  void close_for_signal(int signal_number);
  // Something outside destroyed the window's X window: the same close, with
  // nothing left to show.
  void window_destroyed();

 private slots:
  void action_selected(QAction* action);
  void window_action_selected(QAction* action);
  void about();
  void set_easycap_audio_not_found();
  // From the sound preview.
  void fall_back_to_line_in();
  void audio_format_not_supported();
  void audio_mute_changed(bool muted);
  void switch_always_on_top();
  void switch_f2_display(QAction* action);
  void set_capture_file();
  void ask_stop_after();
  void start_recording();
  void stop_recording();
  // The recording ended by itself: the title, the notice and a message say how.
  void recording_ended(recording_end why, const QString& message);
  // While recording: the window title tells how it goes.
  void show_recording_status();
  void stream_state_changed(capture_thread::stream_state state, unsigned count);
  void channel_action_group_slot(QAction* action);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void device_error(const QString& text);
  void load_preferences();
  void create_menus();
  void select_standard(QAction* action);
  void switch_input();
  void switch_aspect_ratio();
  void switch_audio_source();
  void stick_sound_gone();
  void set_settings_actions_enabled(bool on);
  void note_display_latency(double ms);
  void create_notice();
  void show_notice();
  // What the repair of unfinished recordings found, over the picture for a
  // minute.
  void show_repair_notice(const QString& text);
  // The menus back to what they are while no recording runs.
  void recording_stopped();
  // Ends a recording that cannot go on, and says why and what the file holds.
  void end_recording_because(const QString& why);
  // The capture file's disk has room for less than ten minutes: asks
  // whether to record anyway. False: do not start.
  bool room_for_recording();
  // The command line's overrides of the stored preferences, and what goes
  // into the file instead of them.
  void apply_launch_overrides();
  preference_set preferences_to_store() const;

  // The threads, and the window's names for them.
  capture_pipeline pipeline_;
  capture_thread& capture_ = pipeline_.capture;
  render_thread& render_ = pipeline_.render;
  recording_controller& recording_ = pipeline_.recording;
  recording_repair repair_;

  // What the capture thread was last asked for.
  capture_settings current_capture;

  // Menus and their actions (window_menus.h).
  window_menus menus;

  video_widget* display = nullptr;
  // Over the bottom of the picture: what the stream does when it is not
  // flowing, and how the last recording ended if it did not end by Stop.
  QLabel* notice = nullptr;
  QString stream_notice;
  QString recording_notice;

  // The sound input and its preview; the window keeps the menus and the
  // preference that choose the source.
  sound_preview sound_;

  bool closing = false;
  // Set when the program is ended from outside (a signal, the X window
  // destroyed): the close asks nothing and exits with exit_code_on_close.
  bool close_unasked = false;
  int exit_code_on_close = 0;
  // The exit code once the close sequence or a device error has chosen it;
  // -1 before.
  int chosen_exit_code = -1;
  // Chooses the exit code (the first choice holds) and ends the event loop.
  void end_event_loop(int code);
  class x_window_watch;
  std::unique_ptr<x_window_watch> window_watch;
  int frame_counter = 0;
  double last_frame_time = 0.0;
  int images_shown = 0;
  stopwatch frame_timer;
  preference_set preferences;
  QString preferences_path;
  bool first_stream_pending = true;

  // What the command line asked for. The overrides hold until the user
  // changes the same setting from the menus; the preferences file keeps what
  // it held for them (stored_preferences).
  launch_options launch;
  preference_set stored_preferences;
  bool record_on_stream = false;      // --record: start when the stick streams
  bool record_at_next_field = false;  // and then with the next field
  std::unique_ptr<debug_console> console_;

  // Recording.
  QString capture_extension;
  QTimer* status_timer = nullptr;
  // Set when the last recording ended by itself (its time limit, a full
  // disk): the title says so until the next one starts.
  QString ended_title;

  // From a field's last packet to its picture handed to the display.
  latency_record display_latency;
  uint64_t latency_images = 0;
};
