// A programming pass: sets the claimed stick up for a standard and input
// from the tables in device_registers.h (bridge, decoder over the serial bus,
// codec over the AC'97 path, input routing, capture window) and starts it
// streaming. The order of the transfers is the real stick's.
#pragma once

#include <functional>

#include "capture/capture_settings.h"
#include "capture/stick_link.h"

struct programming_result {
  enum class outcome {
    ready,              // streaming
    cut_short,          // a close, or a stick that stopped answering (stick_link::silent())
    gone,               // the stick went away when the streaming setting was selected
    streaming_refused,  // it would not select the streaming setting
  };
  outcome end = outcome::cut_short;
  // Both codec identification registers read zeros: no codec answered.
  bool codec_missing = false;
  // The bridge input routed (0-3).
  int channel = 0;
};

// `route` is asked, when the routing is written, which bridge input to
// route, given the one the input follows (S-Video on 0, Composite on 2).
// `no_codec` is told at once when no codec answers, before the pass goes on
// (the rest of the pass may take long: the sound's source need not wait).
programming_result program_stick(stick_link& link, const capture_settings& settings,
                                 const std::function<int(int followed)>& route,
                                 const std::function<void()>& no_codec = {});
// The decoder's brightness, contrast, saturation and hue, each brought into
// its range: all four, or (with `in_force`, what the decoder has now) only
// those that differ. A register write each, no programming pass: safe
// between reaps while the stick streams.
void write_picture_controls(stick_link& link, const picture_controls& wanted,
                            const picture_controls* in_force = nullptr);

// `chosen_channel`: the bridge input the user chose, or -1 to follow the input.
programming_result program_stick(stick_link& link, const capture_settings& settings, int chosen_channel);
