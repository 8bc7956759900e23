#include "app/preference_set.h"

#include <QDataStream>

// One byte per field, in declaration order; no header.
QDataStream& operator<<(QDataStream& out, const preference_set& p) {
  out << p.s_video << p.sixty_hz << p.pal_60 << p.widescreen << p.easycap_audio << p.always_on_top << p.display_f2
      << p.display_interlaced << p.display_field_blended;
  return out;
}

// A short file leaves the fields after its end false: QDataStream yields 0
// for a read past the end.
QDataStream& operator>>(QDataStream& in, preference_set& p) {
  in >> p.s_video >> p.sixty_hz >> p.pal_60 >> p.widescreen >> p.easycap_audio >> p.always_on_top >> p.display_f2 >>
      p.display_interlaced >> p.display_field_blended;
  return in;
}
