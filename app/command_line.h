// The program's command line: what a run is asked to do, read with Qt's
// QCommandLineParser before any window (or X connection) exists, so that
// --help and --version work on a console without a display.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "capture/capture_settings.h"

// What this run overrides or starts; nothing set: the window as always.
struct launch_options {
  // For this run only: the stored preferences keep what they hold.
  std::optional<video_standard> standard;
  std::optional<bool> s_video;
  std::optional<int> channel;
  // The decoder's picture controls for this run, on either input; the
  // stored ones stay as they are until the user moves that control.
  std::optional<int> brightness, contrast, saturation, hue;
  // Record into this file (absolute; its extension is kept) as soon as the
  // stick streams.
  QString record_file;
  // Each recording stops by itself after this long; 0: no limit.
  int64_t stop_after_ms = 0;
  // Each recording ends by itself after this long without a signal; 0: never.
  int64_t stop_without_signal_ms = 0;
  // The debug console on screen, and the debug lines on.
  bool debug = false;
  // Repair this file and end, without a window.
  QString repair_file;
};

struct command_line_result {
  enum class outcome { run, exit_success, bad_usage } what = outcome::run;
  launch_options options;
  // For exit_success, what goes to stdout (help or version); for
  // bad_usage, the message for stderr.
  QString text;
};

// `arguments` as main() received them, the program's name first.
command_line_result parse_command_line(const QStringList& arguments);

// "1h30m", "90m", "45s", "1:30:00", "1:30", "2h": milliseconds; a bare number
// is minutes. -1 when the text is none of these or is 0.
int64_t parse_duration(const QString& text);

// 1:30:00 / 0:00:05: hours, then two-digit minutes and seconds.
QString format_duration(int64_t ms);
