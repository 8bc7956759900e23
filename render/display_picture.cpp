#include "render/display_picture.h"

#include <QImage>
#include <algorithm>
#include <cmath>

// The arithmetic here is the display shader's (render/video_widget.cpp),
// step for step and in single precision, so that a saved picture is the one
// on screen to a level or so of rounding. Change one, change the other.

namespace {

struct ycc {
  float y, cb, cr;
};

// Where an output column samples the rows: the texels either side and the
// weights between them.
struct column {
  int t0, t1;  // texels (two pixels each) holding the two nearest pixels
  bool odd;    // the nearer pixel is the second of t0
  float fx;    // luma weight towards the farther pixel
  float fc;    // chroma weight towards t1
};

// One row of texels at a column, as the shader's row sample.
ycc row_sample(const unsigned char* row, const column& c) {
  const unsigned char* a = row + 4 * size_t(c.t0);
  const unsigned char* b = row + 4 * size_t(c.t1);
  const float a_u = a[0] / 255.0f, a_y0 = a[1] / 255.0f, a_v = a[2] / 255.0f, a_y1 = a[3] / 255.0f;
  const float b_u = b[0] / 255.0f, b_y0 = b[1] / 255.0f, b_v = b[2] / 255.0f;
  const float ya = c.odd ? a_y1 : a_y0;
  const float yb = c.odd ? b_y0 : a_y1;
  return {ya + (yb - ya) * c.fx, a_u + (b_u - a_u) * c.fc, a_v + (b_v - a_v) * c.fc};
}

unsigned char level(float v) {
  v = std::clamp(v, 0.0f, 1.0f);
  return static_cast<unsigned char>(std::lround(v * 255.0f));
}

}  // namespace

void picture_to_bgra(const unsigned char* uyvy, const picture_info& info, unsigned char* bgra, int out_width,
                     int out_height) {
  if (!uyvy || !bgra || !info.valid() || out_width <= 0 || out_height <= 0) return;
  const int texels = info.width / 2;
  const size_t row_bytes = size_t(info.width) * 2;
  const float width = float(info.width);
  const int shown = info.shown_rows();
  const int field_rows = info.rows / 2;

  std::vector<column> columns(static_cast<size_t>(out_width));
  for (int i = 0; i < out_width; ++i) {
    const float u = (float(i) + 0.5f) / float(out_width);
    const float x = std::clamp(u * width - 0.5f, 0.0f, width - 1.0f);
    const float x0 = std::floor(x);
    const float t0 = std::floor(x0 * 0.5f);
    column& c = columns[size_t(i)];
    c.t0 = int(t0);
    c.t1 = std::min(c.t0 + 1, texels - 1);
    c.odd = x0 - 2.0f * t0 > 0.5f;
    c.fx = x - x0;
    c.fc = (x - 2.0f * t0) * 0.5f;
  }

  // A row of the picture shown, at a column: from its field's rows.
  const auto picture_sample = [&](int r, const column& c) -> ycc {
    switch (info.layout) {
      case picture_layout::woven:
        return row_sample(uyvy + row_bytes * size_t(r / 2 + (r % 2) * field_rows), c);
      case picture_layout::blended: {
        const ycc top = row_sample(uyvy + row_bytes * size_t(r), c);
        const ycc bottom = row_sample(uyvy + row_bytes * size_t(r + field_rows), c);
        return {0.5f * (top.y + bottom.y), 0.5f * (top.cb + bottom.cb), 0.5f * (top.cr + bottom.cr)};
      }
      case picture_layout::rows:
        break;
    }
    return row_sample(uyvy + row_bytes * size_t(r), c);
  };

  for (int j = 0; j < out_height; ++j) {
    const float v = (float(j) + 0.5f) / float(out_height);
    const float y = std::clamp(v * float(shown) - 0.5f, 0.0f, float(shown) - 1.0f);
    const float y0 = std::floor(y);
    const float fy = y - y0;
    const int r0 = int(y0), r1 = std::min(r0 + 1, shown - 1);
    unsigned char* out = bgra + size_t(j) * size_t(out_width) * 4;
    for (int i = 0; i < out_width; ++i, out += 4) {
      const column& c = columns[size_t(i)];
      const ycc p = picture_sample(r0, c), q = picture_sample(r1, c);
      const float luma = p.y + (q.y - p.y) * fy;
      const float cb = p.cb + (q.cb - p.cb) * fy - 128.0f / 255.0f;
      const float cr = p.cr + (q.cr - p.cr) * fy - 128.0f / 255.0f;
      const float l = 1.164383562f * (luma - 16.0f / 255.0f);
      out[0] = level(l + 2.017232143f * cb);
      out[1] = level(l - 0.391762290f * cb - 0.812967647f * cr);
      out[2] = level(l + 1.596026786f * cr);
      out[3] = 255;
    }
  }
}

QImage picture_image(const unsigned char* uyvy, const picture_info& info, const QSize& size) {
  if (!uyvy || !info.valid() || size.isEmpty()) return QImage();
  // RGB32 rows are whole 32-bit words: tight at 4 bytes a pixel.
  QImage image(size, QImage::Format_RGB32);
  if (!image.isNull()) picture_to_bgra(uyvy, info, image.bits(), size.width(), size.height());
  return image;
}

std::vector<unsigned char> picture_to_bgra(const unsigned char* uyvy, const picture_info& info) {
  if (!info.valid() || info.display_width <= 0 || info.display_height <= 0) return {};
  std::vector<unsigned char> bgra(size_t(info.display_width) * size_t(info.display_height) * 4);
  picture_to_bgra(uyvy, info, bgra.data(), info.display_width, info.display_height);
  return bgra;
}
