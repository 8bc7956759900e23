// A display picture as the render thread hands it over: the stick's own
// 4:2:2 rows (UYVY: Cb, Y0, Cr, Y1 for each two pixels), not RGB. The
// display widget uploads those bytes as they are, two pixels a texel, and
// its fragment shader weaves or blends the fields, scales and converts
// BT.601 studio range to full-range RGB. picture_to_bgra() does the same
// arithmetic on the CPU, for "Save picture" and for whoever must look at a
// picture without a graphics card (the tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class QImage;
class QSize;

enum class picture_layout : uint8_t {
  // The rows are the picture: one field (F1, F2), stretched to the picture's
  // height, or a whole deinterlaced frame.
  rows,
  // A picture's two fields, the top field's rows first, then the bottom
  // field's: shown woven, the top field on the even rows.
  woven,
  // The same two fields, shown as their mean, stretched to the height.
  blended,
};

// What a picture holds, how it is shown, and where its field came from.
struct picture_info {
  int width = 0;  // pixels per row; each row is 2 * width bytes
  int rows = 0;   // rows held (both fields for woven and blended)
  picture_layout layout = picture_layout::rows;
  // Its size on screen at the standard's and aspect's square pixels (what
  // a saved picture has unless asked otherwise).
  int display_width = 0;
  int display_height = 0;
  uint64_t field_serial = 0;  // the field that finished it
  int64_t arrival_ns = -1;    // steady clock: when that field's last packet came

  size_t bytes() const { return size_t(width > 0 ? width : 0) * 2 * size_t(rows > 0 ? rows : 0); }
  // The rows of the picture shown, before it is stretched to the screen.
  int shown_rows() const { return layout == picture_layout::blended ? rows / 2 : rows; }
  // Something the display can show: a whole number of texels across and,
  // for two fields, a whole number of rows for each.
  bool valid() const {
    return width >= 2 && width % 2 == 0 && rows >= 1 && (layout == picture_layout::rows || rows % 2 == 0);
  }
};

// Writes the picture as the display shows it in an `out_width` x
// `out_height` viewport: B, G, R, A bytes (A = 255; QImage's RGB32), rows
// top to bottom, tight. Each output pixel samples at its centre, as a
// fragment does: bilinear between the two nearest pixels of the two nearest
// rows (luma at every pixel, chroma at the even pixels, where 4:2:2 sites
// it), then BT.601 studio range to full-range RGB. Nothing is written for
// an invalid picture or size.
void picture_to_bgra(const unsigned char* uyvy, const picture_info& info, unsigned char* bgra, int out_width,
                     int out_height);
// The same at the picture's display size.
std::vector<unsigned char> picture_to_bgra(const unsigned char* uyvy, const picture_info& info);
// The same as an RGB32 image of `size`; null for an invalid picture or size.
QImage picture_image(const unsigned char* uyvy, const picture_info& info, const QSize& size);
