// The nine stored settings, in the order of the preferences file.
#pragma once

class QDataStream;

struct preference_set {
  bool s_video = false;       // input S-Video; false: Composite
  bool sixty_hz = false;      // NTSC or PAL-60 (480 lines); false: PAL (576 lines)
  bool pal_60 = false;        // with sixty_hz: PAL-60; without: NTSC
  bool widescreen = false;    // 16:9; false: 4:3
  bool easycap_audio = true;  // sound from the stick; false: line-in
  bool always_on_top = false;
  bool display_f2 = false;
  bool display_interlaced = false;
  bool display_field_blended = false;  // none of the three: display mode F1
  // Not one of the nine: Deinterlaced, kept in the second file
  // (settings_file.h). The nine bytes say F1 while it is chosen.
  bool display_deinterlaced = false;

  bool operator==(const preference_set&) const = default;
};

// The preferences file's layout: the nine fields in order, one byte each
// (display_deinterlaced is not written or read).
QDataStream& operator<<(QDataStream& out, const preference_set& p);
QDataStream& operator>>(QDataStream& in, preference_set& p);
