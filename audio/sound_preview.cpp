#include "audio/sound_preview.h"

#include <QAudioSink>
#include <QAudioSource>
#include <QIODevice>
#include <QTimer>

#include "audio/audio_device_search.h"

sound_preview::sound_preview(QObject* parent) : QObject(parent) {
  format_.setSampleRate(48000);
  format_.setChannelCount(2);
  format_.setSampleFormat(QAudioFormat::Int16);
}

sound_preview::~sound_preview() { release(); }

void sound_preview::start(const usb_device_identity& stick, bool from_stick) {
  if (running) return;
  stick_identity = stick;
  use_stick = from_stick;
  open();
}

void sound_preview::open() {
  if (running) return;

  // Back after being pulled out: the sound server lists the stick's input
  // anew, maybe a moment after the picture is back. Wait for it a while
  // before giving up on the stick's sound.
  if (stick_sound_waits > 0) {
    if (find_easycap_audio_device(stick_identity).isNull() && --stick_sound_waits > 0) {
      QTimer::singleShot(stick_sound_poll_ms, this, &sound_preview::open);
      return;
    }
    stick_sound_waits = 0;
  }

  // The stick's audio function is looked for whichever source is chosen, so
  // that the caller learns when it is absent. The stick has been opened by
  // now (or is about to be: then its identity is the one every stick
  // reports).
  QAudioDevice found;
  if (!no_stick_sound) {
    found = find_easycap_audio_device(stick_identity);
    if (!found.isNull()) stick_device = found;
  }
  const bool usable = !found.isNull() && found.isFormatSupported(format_);
  if (!found.isNull() && !usable) emit format_not_supported();
  if (!usable) {
    no_stick_sound = true;
    use_stick = false;
    emit stick_sound_missing();
  }

  input = use_stick ? new QAudioSource(stick_device, format_) : new QAudioSource(format_);
  input_device = input->start();
  // With no sound server there is no device: the picture goes on without sound.
  if (input_device) connect(input_device, &QIODevice::readyRead, this, &sound_preview::read);

  if (!output_created) {
    output = new QAudioSink(format_, this);
    output_device = output->start();
    output_created = true;
    // Muted before there was anything to mute: the choice holds from the start.
    if (muted) output->suspend();
  } else if (muted) {
    // After a source switch the preview is always audible again.
    toggle_mute();
  }
  running = true;
}

void sound_preview::stop_input() {
  if (!running) return;
  running = false;
  release_input();
}

void sound_preview::stick_gone() {
  if (!running || !use_stick) return;
  release_input();
  // The preview goes too, and a fresh one comes with the stick's input: a
  // playback stream left without sound for the seconds a re-plug takes can
  // stay silent afterwards (PipeWire's PulseAudio service: linked to the
  // output, running, taking every byte written and playing none of it).
  release_output();
  running = false;
  stick_sound_waits = stick_sound_tries;
}

void sound_preview::stick_has_no_sound() { no_stick_sound = true; }

void sound_preview::read() {
  if (!reading || !input_device) return;
  const QByteArray bytes = input_device->readAll();
  if (bytes.isEmpty()) return;
  bytes_total += bytes.size();
  // The preview takes what fits; while muted it is suspended and plays nothing.
  if (output_device) output_device->write(bytes);
  emit sound_captured(bytes);
}

void sound_preview::toggle_mute() {
  if (output) {
    if (muted)
      output->resume();
    else
      output->suspend();
  }
  muted = !muted;
  emit mute_changed(muted);
}

void sound_preview::stop_reading() { reading = false; }

void sound_preview::release_input() {
  if (!input) return;
  if (input_device) disconnect(input_device, nullptr, this, nullptr);
  // An active source must be stopped before it is destroyed.
  input->stop();
  delete input;
  input = nullptr;
  input_device = nullptr;
}

void sound_preview::release_output() {
  if (!output) return;
  output->stop();
  delete output;
  output = nullptr;
  output_device = nullptr;
  output_created = false;
}

void sound_preview::release() {
  release_input();
  release_output();
  running = false;
}
