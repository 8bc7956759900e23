// What the decoder says of the signal, told to the person in front of it:
// "No signal on Composite" while it has nothing to lock to, the tape's field
// rate when it is not the standard set (with the standards it may be, to
// switch to in one step), the log in the same words, the time a recording
// went without a signal, and the end of a recording that has had none for
// a set time (a tape played to its end). Nothing here switches the standard:
// that is the person's choice.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "capture/capture_settings.h"
#include "capture/capture_thread.h"

class signal_watch : public QObject {
  Q_OBJECT

 public:
  explicit signal_watch(QObject* parent = nullptr);

  // What the stick is set for: the standard, the input, and the bridge
  // input when the person chose one (-1: it follows the input).
  void set_capture(const capture_settings& settings, int chosen_channel);
  // Each recording ends by itself after this long without a signal; 0:
  // never. A running recording takes a change at once.
  void set_stop_without_signal_ms(int64_t ms);
  int64_t stop_without_signal_ms() const { return stop_without_signal_ms_; }

  void recording_started();
  // The recording ended: how long it went without a signal (ms).
  int64_t recording_stopped();

  // What the notice says (empty: nothing to say), and the standards the
  // tape may be when it is not the one set.
  QString text() const;
  std::vector<video_standard> offers() const;

  // "1 min 5 s without a signal" in words, for a recording's account.
  static QString account(int64_t without_signal_ms);

 public slots:
  // `set_for_sixty_hz`: what the stick was programmed for when it was read.
  void signal_changed(capture_thread::signal_state state, bool set_for_sixty_hz);

 signals:
  // text() or offers() changed.
  void changed();
  // A recording has had no signal for the time set: end it.
  void stop_asked(int64_t without_signal_ms);

 private:
  bool no_signal() const { return state_ == capture_thread::signal_state::none; }
  static bool is_rate(capture_thread::signal_state state) {
    return state == capture_thread::signal_state::fifty_hz || state == capture_thread::signal_state::sixty_hz;
  }
  // The tape's field rate differs from the standard set.
  bool other_rate() const;
  QString input_name() const;
  void arm_stop();
  void tell();

  capture_thread::signal_state state_ = capture_thread::signal_state::unknown;
  capture_settings capture_;
  int chosen_channel_ = -1;
  QString told_;
  bool told_none_ = false;
  int64_t stop_without_signal_ms_ = 0;
  bool recording_ = false;
  // The recording's time without a signal: what ended, and since when
  // the current stretch runs (invalid while there is a signal).
  int64_t without_signal_ms_ = 0;
  QElapsedTimer stretch_;
  QTimer stop_timer_;
};
