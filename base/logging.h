// One logging category per layer. Everything the program logs goes through
// them, so a run can be made quieter or louder per layer without a rebuild:
//   QT_LOGGING_RULES="ostrevin.capture.debug=false;ostrevin.record.debug=true"
// The debug console's lines are separate: they go to its window.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(base_log)     // "ostrevin.base"
Q_DECLARE_LOGGING_CATEGORY(render_log)   // "ostrevin.render"
Q_DECLARE_LOGGING_CATEGORY(capture_log)  // "ostrevin.capture"
Q_DECLARE_LOGGING_CATEGORY(audio_log)    // "ostrevin.audio"
Q_DECLARE_LOGGING_CATEGORY(record_log)   // "ostrevin.record"
Q_DECLARE_LOGGING_CATEGORY(app_log)      // "ostrevin.app"
