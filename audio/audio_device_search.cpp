#include "audio/audio_device_search.h"

#include <QMediaDevices>

bool is_easycap_audio_name(const QString& description) {
  return description == QLatin1String("USB Audio Interface") ||
         description.contains(QLatin1String("Digital Audio Interface"), Qt::CaseSensitive);
}

QAudioDevice find_easycap_audio_device(const QList<QAudioDevice>& inputs) {
  for (const QAudioDevice& device : inputs)
    if (is_easycap_audio_name(device.description())) return device;
  return QAudioDevice();
}

QAudioDevice find_easycap_audio_device() { return find_easycap_audio_device(QMediaDevices::audioInputs()); }
