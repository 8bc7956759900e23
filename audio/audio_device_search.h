// Finds the stick's own sound input among the system's audio inputs.
//
// Two rules, either is enough:
// - the name: exactly "USB Audio Interface", or anything containing
//   "Digital Audio Interface" (case-sensitive), as the stick's USB audio
//   function names itself on systems that show interface names;
// - the USB identity: on Linux the sound server names the input after the
//   USB sound card that udev describes, "alsa_input.usb-<manufacturer>_
//   <product>-<interface>.<profile>" (PulseAudio and PipeWire alike), while
//   its description comes from the hardware database or the product string
//   ("STK1160 Video Capture Device Analog Stereo"). The manufacturer in the
//   name is what tells the stick from another vendor's look-alike.
#pragma once

#include <QAudioDevice>
#include <QList>
#include <QString>

#include "capture/usb_seam.h"

bool is_easycap_audio_name(const QString& description);

// udev's id of the stick's USB sound card, "usb-<manufacturer>_<product>-<NN>":
// the strings with whitespace runs made one '_' and anything udev does not
// keep replaced by '_', NN the audio control interface in two hex digits.
// Missing strings or interface fall back to what every 05E1:0408 reports.
QString easycap_sound_card_id(const usb_device_identity& stick);

// The input belongs to the stick by its name or its USB identity.
bool is_easycap_audio_input(const QString& description, const QString& id, const usb_device_identity& stick);

// The first matching input in the order the platform lists them, or a null
// device when none matches.
QAudioDevice find_easycap_audio_device(const QList<QAudioDevice>& inputs, const usb_device_identity& stick);
QAudioDevice find_easycap_audio_device(const usb_device_identity& stick);
