// libFuzzer target: arbitrary bytes as a preferences file. Each of the nine
// settings is its byte's truth (any non-zero byte is true), settings past the
// end of a short file are false, and writing them back gives nine 0/1 bytes.
#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <cstdint>
#include <cstdlib>

#include "app/preference_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  QDataStream in(bytes);
  in.setVersion(QDataStream::Qt_4_6);
  preference_set p;
  in >> p;
  const bool read[9] = {p.s_video,    p.sixty_hz,           p.pal_60,
                        p.widescreen, p.easycap_audio,      p.always_on_top,
                        p.display_f2, p.display_interlaced, p.display_field_blended};
  for (size_t i = 0; i < 9; ++i)
    if (read[i] != (i < size && data[i] != 0)) std::abort();

  QByteArray written;
  QDataStream out(&written, QIODevice::WriteOnly);
  out.setVersion(QDataStream::Qt_4_6);
  out << p;
  if (written.size() != 9) std::abort();
  for (int i = 0; i < 9; ++i)
    if (written[i] != char(read[i] ? 1 : 0)) std::abort();
  return 0;
}
