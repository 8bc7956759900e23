// What the tests see inside the capture thread.
#pragma once

#include "capture/capture_thread.h"

struct capture_probe {
  // A stop that ends the streaming run (for a new programming pass) is
  // pending: set_input() and set_standard() ask for one.
  static bool run_interrupted(const capture_thread& t) { return t.stop_requested_.load(); }
  // How often the decoder's status is read while streaming (0: never); set
  // before the start.
  static void set_status_period(capture_thread& t, int ms) { t.status_period_ms_ = ms; }
};
