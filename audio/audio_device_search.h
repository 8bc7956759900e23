// Finds the stick's own sound input among the system's audio inputs.
//
// The stick's USB audio function reports itself as "USB Audio Interface";
// some revisions of the bridge name it "... Digital Audio Interface".
#pragma once

#include <QAudioDevice>
#include <QList>
#include <QString>

// Exactly "USB Audio Interface", or anything containing "Digital Audio
// Interface" (case-sensitive).
bool is_easycap_audio_name(const QString& description);

// The first matching input in the order the platform lists them, or a null
// device when none matches.
QAudioDevice find_easycap_audio_device(const QList<QAudioDevice>& inputs);
QAudioDevice find_easycap_audio_device();
