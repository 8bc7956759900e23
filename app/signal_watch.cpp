#include "app/signal_watch.h"

#include <QDebug>
#include <algorithm>

#include "app/command_line.h"
#include "base/logging.h"

signal_watch::signal_watch(QObject* parent) : QObject(parent) {
  stop_timer_.setSingleShot(true);
  connect(&stop_timer_, &QTimer::timeout, this, [this] {
    if (recording_ && no_signal()) emit stop_asked(stop_without_signal_ms_);
  });
}

void signal_watch::set_capture(const capture_settings& settings, int chosen_channel) {
  if (settings.standard == capture_.standard && settings.s_video == capture_.s_video &&
      chosen_channel == chosen_channel_)
    return;
  // The tape's rate was read with the stick set for the other one: it is
  // read again once the stick is programmed for this one. Till then nothing
  // is said of it, rather than a comparison with a reading that is gone.
  if (settings.sixty_hz() != capture_.sixty_hz() && is_rate(state_)) state_ = capture_thread::signal_state::unknown;
  capture_ = settings;
  chosen_channel_ = chosen_channel;
  tell();
}

void signal_watch::set_stop_without_signal_ms(int64_t ms) {
  stop_without_signal_ms_ = std::max<int64_t>(0, ms);
  arm_stop();
}

void signal_watch::recording_started() {
  recording_ = true;
  without_signal_ms_ = 0;
  stretch_.invalidate();
  if (no_signal()) stretch_.start();
  arm_stop();
}

int64_t signal_watch::recording_stopped() {
  if (stretch_.isValid()) without_signal_ms_ += stretch_.elapsed();
  stretch_.invalidate();
  recording_ = false;
  stop_timer_.stop();
  return without_signal_ms_;
}

bool signal_watch::other_rate() const {
  using state = capture_thread::signal_state;
  return (state_ == state::sixty_hz && !capture_.sixty_hz()) || (state_ == state::fifty_hz && capture_.sixty_hz());
}

QString signal_watch::input_name() const {
  const QString input = capture_.s_video ? tr("S-Video") : tr("Composite");
  // Sticks with several inputs of a kind: the one chosen.
  return chosen_channel_ >= 0 ? tr("%1 (channel %2)").arg(input).arg(chosen_channel_) : input;
}

QString signal_watch::text() const {
  if (no_signal()) return tr("No signal on %1").arg(input_name());
  if (!other_rate()) return QString();
  const QString set_to = capture_.standard == video_standard::ntsc ? tr("NTSC")
                         : capture_.pal_60()                       ? tr("PAL-60")
                                                                   : tr("PAL");
  if (state_ == capture_thread::signal_state::sixty_hz)
    return tr("This tape is 60 Hz (NTSC or PAL-60); Ostrevin is set to %1").arg(set_to);
  return tr("This tape is 50 Hz (PAL); Ostrevin is set to %1").arg(set_to);
}

std::vector<video_standard> signal_watch::offers() const {
  if (!other_rate()) return {};
  if (state_ == capture_thread::signal_state::sixty_hz) return {video_standard::ntsc, video_standard::pal_60};
  return {video_standard::pal};
}

QString signal_watch::account(int64_t without_signal_ms) {
  return tr("%1 without a signal").arg(format_duration(without_signal_ms));
}

void signal_watch::signal_changed(capture_thread::signal_state state, bool set_for_sixty_hz) {
  // Read before the switch to the standard now set took effect: stale.
  if (is_rate(state) && set_for_sixty_hz != capture_.sixty_hz()) return;
  if (state == state_) return;
  const bool had_none = no_signal();
  state_ = state;
  if (recording_ && no_signal() != had_none) {
    if (no_signal()) {
      stretch_.start();
    } else if (stretch_.isValid()) {
      without_signal_ms_ += stretch_.elapsed();
      stretch_.invalidate();
    }
  }
  arm_stop();
  tell();
}

void signal_watch::arm_stop() {
  // From the start of the stretch without a signal (or of the recording,
  // if it began without one).
  if (!recording_ || !no_signal() || stop_without_signal_ms_ <= 0 || !stretch_.isValid()) {
    stop_timer_.stop();
    return;
  }
  stop_timer_.start(int(std::clamp<int64_t>(stop_without_signal_ms_ - stretch_.elapsed(), 0, INT32_MAX)));
}

void signal_watch::tell() {
  const QString now = text();
  if (now == told_) return;
  if (!now.isEmpty())
    qCInfo(app_log).noquote() << "Ostrevin:" << now;
  else if (told_none_)
    qCInfo(app_log).noquote() << "Ostrevin:" << tr("The signal is back on %1").arg(input_name());
  told_ = now;
  told_none_ = no_signal();
  emit changed();
}
