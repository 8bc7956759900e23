// The render thread: turns each field the capture thread hands over (UYVY
// 4:2:2, 720 x 240 or 288) into the BGRA display picture in one of four
// display modes, and while recording also into planar YUV 4:2:2 for the
// encoder. All pixel conversion happens here, with libswscale.
#pragma once

#include <QString>
#include <QThread>
#include <array>
#include <atomic>
#include <vector>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "app/run_completion.h"
#include "app/stopwatch.h"

struct AVFrame;
struct SwsContext;

// What the capture thread passes in at the start of every streaming run.
struct render_settings {
  int width = 720;                 // pixels per captured line
  int frame_lines = 576;           // 480 or 576; a field has half
  int half_display_width = 384;    // 320 or 384
  int half_display_height = 288;   // 240, 180, 288 or 216
  unsigned char* handoff_buffer = nullptr;        // the raw field (UYVY), owned by the capture thread
  unsigned char* encoder_field_buffer = nullptr;  // 720 x 288 x 2 bytes, owned by the main window
  unsigned char* display_buffer = nullptr;        // 768 x 576 x 4 bytes each, owned by the main window
  unsigned char* field_buffer_0 = nullptr;
  unsigned char* field_buffer_1 = nullptr;
};

class easycap_render_thread : public QThread {
  Q_OBJECT

 public:
  explicit easycap_render_thread(QObject* parent = nullptr);
  ~easycap_render_thread() override;

  // QThread::wait(); afterwards everything run() did is visible here.
  bool wait(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever)) {
    const bool ended = QThread::wait(deadline);
    if (ended) completion.observe();
    return ended;
  }
  bool wait(unsigned long ms) { return wait(QDeadlineTimer(qint64(ms))); }

  // Stop request; the loop ends when it sees it.
  std::atomic<bool> quit{false};

  // Written by the main window from the GUI thread; read once per field.
  std::atomic<bool> display_f2{false};
  std::atomic<bool> display_interlaced{false};
  std::atomic<bool> display_field_blended{false};
  std::atomic<bool> settings_changed{false};
  std::atomic<bool> encoder_feed{false};

  // Written by the capture thread before the thread first runs.
  std::atomic<bool> debug{false};
  std::atomic<int> encoder_pixel_format{4};  // FFmpeg's planar YUV 4:2:2
  std::atomic<double> encoder_bytes_per_pixel{2.0};

  // Sizes of the buffers the render settings point at, as the capture thread
  // and the main window allocate them (largest standard, PAL).
  static constexpr size_t handoff_buffer_size = 829440;           // 720 x 576 x 2
  static constexpr size_t image_buffer_size = 768 * 576 * 4;      // display and field buffers
  static constexpr size_t encoder_field_buffer_size = 720 * 288 * 2;

  // Replaces the render settings. Waits until no field is being converted,
  // so a conversion never sees half-old, half-new settings.
  void set_render_settings(const render_settings& settings);
  render_settings current_settings();

  // Held while display_buffer is written; a reader that holds it sees the
  // picture of the latest completed field, never a half-written one.
  std::mutex& display_mutex() { return display_mutex_; }

  // Held while encoder_field_buffer is written. The GUI thread weaves the
  // fields into the recording later, when the queued frame_ready(bool)
  // arrives; by then the render thread may have converted more fields. So
  // each recorded field is also kept, with its flag, in a ring of the last
  // encoder_ring_fields fields, numbered from 1 by encoder_field_serial().
  // A reader holding this lock can take every field it has not seen yet,
  // as long as it is no more than the ring's length behind.
  static constexpr int encoder_ring_fields = 16;
  std::mutex& encoder_mutex() { return encoder_mutex_; }
  uint64_t encoder_field_serial() const { return encoder_field_serial_; }
  const unsigned char* encoder_ring_field(uint64_t serial) const {
    return encoder_ring_.data() + (serial % encoder_ring_fields) * encoder_field_buffer_size;
  }
  bool encoder_ring_flag(uint64_t serial) const { return encoder_ring_flags_[serial % encoder_ring_fields]; }

  // Capture thread only: hands over a complete field from the assembly
  // buffer (copying `size` bytes into the hand-off buffer), or drops it if
  // the previous field is still being converted. Starts the thread on the
  // first field. With quit set, only wakes (or starts) the thread.
  void submit_frame(bool field_flag, const unsigned char* field, size_t size);

  // Fields submit_frame dropped because the thread was still busy.
  uint32_t dropped_fields() const { return dropped_fields_.load(); }
  // Fields converted (frame_ready emitted).
  uint32_t rendered_fields() const { return rendered_fields_.load(); }
  // Conversions skipped because a picture or scaler could not be built.
  uint32_t failed_fields() const { return failed_fields_.load(); }

  // Converts the field in the hand-off buffer on the calling thread, exactly
  // as run() does for one field (signals included), so a benchmark can time
  // the conversion without the thread hand-off. Only while the thread is not
  // running; returns false then, or when the field could not be converted.
  bool render_one_field_for_benchmark(bool field_flag);

 signals:
  void frame_ready(bool field_flag);
  void debug_console_set_text(QString text);
  void broadcast_frame(uchar* display_buffer, int half_display_width, int half_display_height);

 protected:
  void run() override;

 private:
  // What the pictures and scalers were built for; any difference rebuilds.
  struct geometry {
    int width = 0;
    int field_lines = 0;
    int half_display_width = 0;
    int half_display_height = 0;
    int encoder_format = -1;
    bool half_height = false;  // Interlaced or Field-blended: one field at display width
    bool operator==(const geometry&) const = default;
  };

  bool rebuild(const render_settings& s, const geometry& g);
  void release_pictures();
  bool render_field(const render_settings& s, bool flag);

  // Guards frame_pending, field_flag, the settings and the wait.
  std::mutex frame_mutex;
  std::mutex display_mutex_;
  std::mutex encoder_mutex_;
  // Guarded by encoder_mutex_.
  uint64_t encoder_field_serial_ = 0;
  std::vector<unsigned char> encoder_ring_;  // allocated with the first recorded field
  std::array<bool, encoder_ring_fields> encoder_ring_flags_{};
  std::condition_variable frame_condition;
  bool frame_pending = false;
  bool field_flag = false;
  bool loop_running = false;  // set by the starting submit_frame, cleared as run() ends
  render_settings settings;

  stopwatch render_timer;
  AVFrame* source_picture = nullptr;
  AVFrame* display_picture = nullptr;
  AVFrame* encoder_picture = nullptr;
  SwsContext* display_scaler = nullptr;
  SwsContext* encoder_scaler = nullptr;
  int encoder_picture_size = 0;
  geometry built;
  bool pictures_ready = false;
  bool failure_reported = false;

  std::atomic<uint32_t> dropped_fields_{0};
  std::atomic<uint32_t> rendered_fields_{0};
  std::atomic<uint32_t> failed_fields_{0};
 private:
  run_completion completion;
};
