// The main window's frame slot: recording hook and the live picture.
#include "app/ostrevin.h"

void ostrevin::frame_ready(bool field_flag) {
  (void)field_flag;
  ++frame_counter;
}
