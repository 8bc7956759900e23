// The sound preview: the input (the stick's own audio function, or the
// computer's default input as line-in), the preview on the default output,
// mute, and the source switch. Raw 48 kHz stereo 16-bit PCM throughout.
//
// It knows nothing of menus or preferences: which source to use and which
// stick to look for come in with start(); what the user has to see (the
// stick's sound is missing, mute changed, a format the stick's input
// refuses) goes out as signals. Everything runs on the thread it lives on.
#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QObject>

#include "capture/usb_seam.h"

class QAudioSink;
class QAudioSource;
class QIODevice;

class sound_preview : public QObject {
  Q_OBJECT

 public:
  explicit sound_preview(QObject* parent = nullptr);
  ~sound_preview() override;

  // One format for input, preview and recording: 48 kHz, stereo, signed
  // 16-bit little-endian samples, 4 bytes per frame.
  const QAudioFormat& format() const { return format_; }

  // Opens the input: the stick's when from_stick (if the stick's input is
  // there and takes the format; otherwise line-in, and stick_sound_missing()
  // is emitted), else the default input. The preview output is created at
  // the first start, and again after stick_gone(), when the stick's input is
  // waited for a while before line-in replaces it. While the input runs nothing changes,
  // not even what a later look for the stick's input uses.
  void start(const usb_device_identity& stick, bool from_stick);
  // Closes the input, so that the next start() opens the other source.
  void stop_input();
  // The stick was pulled out: its input went with it; a new one comes with
  // the stick.
  void stick_gone();
  // The stick said it has no sound of its own: the next start() does not
  // look for its input.
  void stick_has_no_sound();
  // Suspends or resumes the preview; a choice made before the preview
  // exists holds once it does.
  void toggle_mute();
  // From now on what comes in is left unread (the program is closing).
  void stop_reading();
  // Reads what the input holds now, as its readyRead() would: for a caller
  // that holds up the event loop while it waits for sound (the input's
  // device is read straight from the sound server's stream).
  void read_now() { read(); }
  // Stops and deletes the input and the preview output.
  void release();

  bool is_running() const { return running; }
  bool is_muted() const { return muted; }
  bool is_stick_sound_missing() const { return no_stick_sound; }
  // The stick's input as last found; null before it was found.
  const QAudioDevice& stick_input() const { return stick_device; }
  QAudioSource* source() const { return input; }
  QAudioSink* sink() const { return output; }
  qint64 bytes_read() const { return bytes_total; }

 signals:
  // Everything the input captured, in order, whether muted or not.
  void sound_captured(const QByteArray& bytes);
  // The stick's input is absent or refuses the format: line-in is used
  // instead, and the stick's sound is not looked for again.
  void stick_sound_missing();
  // The stick's input is there but does not take the format. Emitted
  // before the fall-back to line-in.
  void format_not_supported();
  void mute_changed(bool muted);

 private:
  void open();
  void read();
  void release_input();
  void release_output();

  QAudioFormat format_;
  // What the last start() asked for; looking again uses the same.
  usb_device_identity stick_identity;
  bool use_stick = true;
  QAudioDevice stick_device;
  QAudioSource* input = nullptr;  // owned; replaced at each source switch
  QIODevice* input_device = nullptr;
  QAudioSink* output = nullptr;  // child of this object; made anew after the stick was pulled out
  QIODevice* output_device = nullptr;
  bool running = false;
  bool output_created = false;
  bool muted = false;
  bool no_stick_sound = false;
  bool reading = true;
  qint64 bytes_total = 0;
  // After the stick was pulled out: how many more times open() looks for its
  // input before it gives up on it.
  int stick_sound_waits = 0;
  static constexpr int stick_sound_tries = 20;
  static constexpr int stick_sound_poll_ms = 500;
};
