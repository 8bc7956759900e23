// What the display shows of the fields: F1 shows every field at full
// height, F2 only the flag-set ones; Interlaced weaves the two fields of a
// pair into one picture, Field-blended averages them; Deinterlaced shows
// every field at full height with the other field's lines interpolated by a
// motion-adaptive deinterlacer (bwdif), as video players show interlaced
// video.
#pragma once

enum class display_mode { f1, f2, interlaced, field_blended, deinterlaced };
