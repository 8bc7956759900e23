// What the tests see inside the capture thread.
#pragma once

#include "capture/capture_thread.h"

struct capture_probe {
  // A stop that ends the streaming run (for a new programming pass) is
  // pending: set_input() and set_standard() ask for one.
  static bool run_interrupted(const capture_thread& t) { return t.stop_requested_.load(); }
};
