// How the live picture is drawn from the fields.
#pragma once

enum class display_mode {
  f1,             // the first field of each frame, line-doubled
  f2,             // the second field, line-doubled
  interlaced,     // both fields woven
  field_blended,  // both fields blended into one half-height picture
};
