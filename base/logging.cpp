#include "base/logging.h"

Q_LOGGING_CATEGORY(base_log, "ostrevin.base")
Q_LOGGING_CATEGORY(render_log, "ostrevin.render")
Q_LOGGING_CATEGORY(capture_log, "ostrevin.capture")
Q_LOGGING_CATEGORY(audio_log, "ostrevin.audio")
Q_LOGGING_CATEGORY(record_log, "ostrevin.record")
Q_LOGGING_CATEGORY(app_log, "ostrevin.app")
Q_LOGGING_CATEGORY(capture_timing_log, "ostrevin.capture.timing", QtInfoMsg)
Q_LOGGING_CATEGORY(render_timing_log, "ostrevin.render.timing", QtInfoMsg)

bool is_timing_category(const char* category) {
  return category && QByteArray(category).startsWith("ostrevin.") && QByteArray(category).endsWith(".timing");
}
