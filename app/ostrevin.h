// The main window: owns the capture thread and the frame buffers, starts the
// capture, reports a missing stick, and stops the threads in order on close.
#pragma once

#include <QMainWindow>
#include <QString>
#include <cstdint>

#include "app/preference_set.h"
#include "app/stopwatch.h"
#include "capture/easycap_thread.h"

class QCloseEvent;

class ostrevin : public QMainWindow {
  Q_OBJECT

 public:
  explicit ostrevin(QWidget* parent = nullptr);
  ~ostrevin() override;

  void apply_preferences();
  void apply_always_on_top();
  void resize_video_area(int width, int height);
  static QString load_style_sheet();

  // Read-only views for the tests and for the parts that plug in later.
  const preference_set& current_preferences() const { return preferences; }
  easycap_thread& capture() { return capture_thread; }
  uint32_t dropped_frames_count() const { return dropped_frames_total; }
  bool is_closing() const { return closing; }

 signals:
  void set_standard();
  void change_channel(int channel);
  void debug_console_set_text(QString);

 public slots:
  void capture_device_not_found();
  void capture_device_not_usb_2_0();

 private slots:
  void dropped_frames(uint count);
  void set_easycap_audio_not_found();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void device_error(const QString& text);

  easycap_thread capture_thread;

  unsigned char* encoder_field_buffer = nullptr;
  unsigned char* image_buffer_0 = nullptr;
  unsigned char* image_buffer_1 = nullptr;
  unsigned char* image_buffer_2 = nullptr;

  int capture_width = 720;
  int half_display_width = 384;
  int half_display_height = 288;
  int field_lines = 288;
  int display_width = 768;
  int display_height = 576;
  const int max_field_lines = 288;
  const int max_image_height = 576;
  const int max_image_width = 768;

  bool capturing = false;
  bool closing = false;
  bool easycap_audio_missing = false;
  double encoder_bytes_per_pixel = 2.0;
  uint32_t dropped_frames_total = 0;
  int frame_counter = 0;
  double last_frame_time = 0.0;
  stopwatch frame_timer;
  preference_set preferences;
  QString preferences_path;
  bool first_stream_pending = true;
};
