#include "audio/audio_device_search.h"

#include <QMediaDevices>
#include <cctype>
#include <cstring>

#include "capture/device_registers.h"

namespace {

// udev's whitespace rule (leading and trailing whitespace dropped, each run
// inside made one '_'), then its character rule: letters, digits,
// "#+-.:=@_" and anything beyond ASCII stay, the rest becomes '_'.
QString udev_string(const std::string& text) {
  QString out;
  bool space = false;
  for (unsigned char ch : text) {
    if (std::isspace(ch)) {
      space = !out.isEmpty();
      continue;
    }
    if (space) out += '_';
    space = false;
    const bool kept = std::isalnum(ch) || std::strchr("#+-.:=@_", ch) || ch >= 0x80;
    out += kept ? QChar(char(ch)) : QChar('_');
  }
  return out;
}

}  // namespace

bool is_easycap_audio_name(const QString& description) {
  return description == QLatin1String("USB Audio Interface") ||
         description.contains(QLatin1String("Digital Audio Interface"), Qt::CaseSensitive);
}

QString easycap_sound_card_id(const usb_device_identity& stick) {
  const std::string manufacturer = stick.manufacturer.empty() ? easycap::usb_manufacturer : stick.manufacturer;
  const std::string product = stick.product.empty() ? easycap::usb_product : stick.product;
  const int interface_number = stick.sound_interface >= 0 ? stick.sound_interface : easycap::sound_interface;
  return QString("usb-%1_%2-%3")
      .arg(udev_string(manufacturer), udev_string(product))
      .arg(interface_number, 2, 16, QChar('0'));
}

bool is_easycap_audio_input(const QString& description, const QString& id, const usb_device_identity& stick) {
  if (is_easycap_audio_name(description)) return true;
  return id.startsWith("alsa_input." + easycap_sound_card_id(stick) + ".");
}

QAudioDevice find_easycap_audio_device(const QList<QAudioDevice>& inputs, const usb_device_identity& stick) {
  for (const QAudioDevice& device : inputs)
    if (is_easycap_audio_input(device.description(), QString::fromUtf8(device.id()), stick)) return device;
  return QAudioDevice();
}

QAudioDevice find_easycap_audio_device(const usb_device_identity& stick) {
  return find_easycap_audio_device(QMediaDevices::audioInputs(), stick);
}
