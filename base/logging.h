// One logging category per layer. Everything the program logs goes through
// them, so a run can be made quieter or louder per layer without a rebuild:
//   QT_LOGGING_RULES="ostrevin.capture.debug=false;ostrevin.record.debug=true"
// The timings of every transfer and field have categories of their own, off
// unless asked for (--debug asks for every ostrevin.* debug line); they are
// too many for the terminal and go to the debug console alone. The console is
// one more sink of the message handler: no line reaches it another way.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(base_log)            // "ostrevin.base"
Q_DECLARE_LOGGING_CATEGORY(render_log)          // "ostrevin.render"
Q_DECLARE_LOGGING_CATEGORY(capture_log)         // "ostrevin.capture"
Q_DECLARE_LOGGING_CATEGORY(audio_log)           // "ostrevin.audio"
Q_DECLARE_LOGGING_CATEGORY(record_log)          // "ostrevin.record"
Q_DECLARE_LOGGING_CATEGORY(app_log)             // "ostrevin.app"
Q_DECLARE_LOGGING_CATEGORY(capture_timing_log)  // "ostrevin.capture.timing", off by default
Q_DECLARE_LOGGING_CATEGORY(render_timing_log)   // "ostrevin.render.timing", off by default

// Lines of these categories go to the debug console only.
bool is_timing_category(const char* category);
