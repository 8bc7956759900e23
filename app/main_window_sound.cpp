// The main window's sound: the input (the stick's own audio function, or the
// computer's default input as line-in), the preview on the default output,
// mute, and the source switch. Raw 48 kHz stereo 16-bit PCM throughout.
#include <QAction>
#include <QAudioSink>
#include <QAudioSource>
#include <QMessageBox>
#include <QTimer>

#include "app/main_window.h"
#include "audio/audio_device_search.h"

void main_window::audio_start() {
  // The first stream: the stick runs, so the stored format, window size and
  // stay-on-top hint take effect, and the stick is programmed for them.
  if (first_stream_pending) {
    first_stream_pending = false;
    apply_preferences();
    emit set_standard();
  }
  if (audio_running) return;

  // Back after being pulled out: the sound server lists the stick's input
  // anew, maybe a moment after the picture is back. Wait for it a while
  // before giving up on the stick's sound.
  if (stick_sound_waits > 0) {
    if (find_easycap_audio_device(capture_.identity()).isNull() && --stick_sound_waits > 0) {
      QTimer::singleShot(stick_sound_poll_ms, this, &main_window::audio_start);
      return;
    }
    stick_sound_waits = 0;
  }

  // The stick's audio function is looked for whichever source is chosen, so
  // that "&Easycap" is disabled when it is absent. The capture thread has
  // opened the stick by now (or is about to: then its identity is the one
  // every stick reports).
  QAudioDevice found;
  if (!easycap_audio_missing) {
    found = find_easycap_audio_device(capture_.identity());
    if (!found.isNull()) easycap_audio_device = found;
  }
  const bool usable = !found.isNull() && found.isFormatSupported(audio_format);
  if (!found.isNull() && !usable)
    QMessageBox::critical(this, tr("Ostrevin"), tr("audio format not supported"), QMessageBox::Ok,
                          QMessageBox::NoButton);
  if (!usable) fall_back_to_line_in();

  audio_input = preferences.easycap_audio ? new QAudioSource(easycap_audio_device, audio_format)
                                          : new QAudioSource(audio_format);
  audio_input_device = audio_input->start();
  // With no sound server there is no device: the picture goes on without sound.
  if (audio_input_device) connect(audio_input_device, &QIODevice::readyRead, this, &main_window::audio_read);

  if (!audio_output_created) {
    audio_output = new QAudioSink(audio_format, this);
    audio_output_device = audio_output->start();
    audio_output_created = true;
    // Muted before there was anything to mute: the choice holds from the start.
    if (audio_muted) audio_output->suspend();
  } else if (audio_muted) {
    // After a source switch the preview is always audible again.
    mute_action->activate(QAction::Trigger);
  }
  audio_running = true;
}

void main_window::stick_sound_gone() {
  // Its input went with it; a new one comes with the stick.
  if (!audio_running || !preferences.easycap_audio) return;
  release_audio_input();
  audio_running = false;
  stick_sound_waits = stick_sound_tries;
}

void main_window::fall_back_to_line_in() {
  easycap_audio_missing = true;
  preferences.easycap_audio = false;
  easycap_audio_action->setChecked(false);
  easycap_audio_action->setEnabled(false);
  line_in_action->setChecked(true);
}

void main_window::audio_read() {
  if (closing || !audio_input_device) return;
  const QByteArray bytes = audio_input_device->readAll();
  if (bytes.isEmpty()) return;
  audio_bytes_total += bytes.size();
  // The preview takes what fits; while muted it is suspended and plays nothing.
  if (audio_output_device) audio_output_device->write(bytes);
  if (capturing) hand_audio_to_recorder(bytes);
}

void main_window::audio_mute() {
  if (audio_output) {
    if (audio_muted)
      audio_output->resume();
    else
      audio_output->suspend();
  }
  audio_muted = !audio_muted;
  mute_action->setChecked(audio_muted);
}

void main_window::switch_audio_source() {
  preferences.easycap_audio = !preferences.easycap_audio;
  if (audio_running) {
    audio_running = false;
    release_audio_input();
  }
  audio_start();
  save_preferences();
}

void main_window::release_audio_input() {
  if (!audio_input) return;
  if (audio_input_device) disconnect(audio_input_device, nullptr, this, nullptr);
  // An active source must be stopped before it is destroyed.
  audio_input->stop();
  delete audio_input;
  audio_input = nullptr;
  audio_input_device = nullptr;
}

void main_window::release_audio() {
  release_audio_input();
  if (audio_output) {
    audio_output->stop();
    delete audio_output;
    audio_output = nullptr;
    audio_output_device = nullptr;
  }
  audio_running = false;
}
