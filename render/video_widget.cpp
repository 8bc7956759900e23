#include "render/video_widget.h"

#include <QDebug>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QOpenGLShaderProgram>
#include <QVector2D>
#include <QVideoFrameFormat>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/logging.h"
#include "render/display_picture.h"

#ifndef GL_UNPACK_ROW_LENGTH
#define GL_UNPACK_ROW_LENGTH 0x0CF2
#endif

// QImage's 32-bit formats are words 0xAARRGGBB: in memory B, G, R, A only
// on a little-endian machine, which the upload of those bytes relies on.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the display uploads 32-bit images as B, G, R, A bytes");

namespace {

// The picture's rectangle as a strip of two triangles: x, y on the screen,
// then u, v in the texture, whose first row is the picture's top.
constexpr float quad_vertices[] = {
    -1.0f, -1.0f, 0.0f, 1.0f,  //
    1.0f,  -1.0f, 1.0f, 1.0f,  //
    -1.0f, 1.0f,  0.0f, 0.0f,  //
    1.0f,  1.0f,  1.0f, 0.0f,
};
constexpr int position_location = 0;
constexpr int texcoord_location = 1;

// One source for every shading language: the words that differ between
// them are macros its header defines.
constexpr char vertex_body[] = R"(
ATTRIBUTE vec2 position;
ATTRIBUTE vec2 texcoord;
VARYING vec2 picture_point;
void main() {
  picture_point = texcoord;
  gl_Position = vec4(position, 0.0, 1.0);
}
)";
// LAYOUT 0: an RGB image, sampled bilinear by the texture unit. Otherwise
// the stick's 4:2:2 (render/display_picture.h): each texel holds two pixels
// as Cb, Y0, Cr, Y1, read texel by texel (the texture samples the nearest)
// and filtered here, so luma and chroma each interpolate between their own
// samples. picture_to_bgra() in render/display_picture.cpp is this same
// arithmetic on the CPU: change one, change the other.
//   LAYOUT 1: the rows are the picture.
//   LAYOUT 2: two fields, top then bottom, woven (the top field on even rows).
//   LAYOUT 3: the same two fields, as their mean.
constexpr char fragment_body[] = R"(
VARYING vec2 picture_point;
uniform sampler2D picture;
#if LAYOUT == 0
uniform float swap_red_blue;
void main() {
  vec3 c = TEXTURE(picture, picture_point).rgb;
  FRAGMENT_COLOUR = vec4(mix(c, c.bgr, swap_red_blue), 1.0);
}
#else
uniform vec2 texels;  // the texture's size: two pixels a texel across, rows down
vec4 texel(float x, float y) {
  return TEXTURE(picture, (vec2(x, y) + 0.5) / texels);
}
// Y, Cb, Cr of texture row `row` at pixel position x (0: the first pixel's
// centre): luma between the two nearest pixels, chroma between the two
// nearest even pixels, where 4:2:2 sites it.
vec3 row_sample(float row, float x) {
  float x0 = floor(x);
  float t0 = floor(x0 * 0.5);
  float t1 = min(t0 + 1.0, texels.x - 1.0);
  vec4 a = texel(t0, row);
  vec4 b = texel(t1, row);
  float odd = x0 - 2.0 * t0;
  float ya = mix(a.g, a.a, odd);
  float yb = mix(a.a, b.g, odd);
  vec2 c = mix(a.rb, b.rb, (x - 2.0 * t0) * 0.5);
  return vec3(mix(ya, yb, x - x0), c);
}
#if LAYOUT == 3
float shown_rows() { return texels.y * 0.5; }
vec3 picture_sample(float r, float x) {
  return 0.5 * (row_sample(r, x) + row_sample(r + texels.y * 0.5, x));
}
#elif LAYOUT == 2
float shown_rows() { return texels.y; }
vec3 picture_sample(float r, float x) {
  float half_row = floor(r * 0.5);
  return row_sample(half_row + (r - 2.0 * half_row) * texels.y * 0.5, x);
}
#else
float shown_rows() { return texels.y; }
vec3 picture_sample(float r, float x) { return row_sample(r, x); }
#endif
void main() {
  float width = 2.0 * texels.x;
  float rows = shown_rows();
  float x = clamp(picture_point.x * width - 0.5, 0.0, width - 1.0);
  float y = clamp(picture_point.y * rows - 0.5, 0.0, rows - 1.0);
  float y0 = floor(y);
  vec3 p = picture_sample(y0, x);
  vec3 q = picture_sample(min(y0 + 1.0, rows - 1.0), x);
  vec3 ycc = mix(p, q, y - y0) - vec3(16.0, 128.0, 128.0) / 255.0;
  // BT.601, studio range to full range.
  float l = 1.164383562 * ycc.x;
  vec3 rgb = vec3(l + 1.596026786 * ycc.z, l - 0.391762290 * ycc.y - 0.812967647 * ycc.z, l + 2.017232143 * ycc.y);
  FRAGMENT_COLOUR = vec4(clamp(rgb, 0.0, 1.0), 1.0);
}
#endif
)";

struct shader_headers {
  const char* vertex;
  const char* fragment;
};

// OpenGL ES: GLSL ES 1.00, which ES 3.x runs too. A desktop context of
// 3.2 or later (a core profile has nothing older): GLSL 1.50. Otherwise
// (OpenGL 2.1): GLSL 1.20.
shader_headers headers_for(const QOpenGLContext& context) {
  if (context.isOpenGLES())
    return {"#version 100\n#define ATTRIBUTE attribute\n#define VARYING varying\n",
            // Texel positions across 576 rows need more than mediump's
            // 10 bits, where the hardware has more.
            "#version 100\n#ifdef GL_FRAGMENT_PRECISION_HIGH\nprecision highp float;\n#else\n"
            "precision mediump float;\n#endif\n#define VARYING varying\n#define TEXTURE texture2D\n"
            "#define FRAGMENT_COLOUR gl_FragColor\n"};
  const QSurfaceFormat format = context.format();
  if (format.version() >= qMakePair(3, 2))
    return {"#version 150\n#define ATTRIBUTE in\n#define VARYING out\n",
            "#version 150\n#define VARYING in\n#define TEXTURE texture\nout vec4 fragment_colour;\n"
            "#define FRAGMENT_COLOUR fragment_colour\n"};
  return {"#version 120\n#define ATTRIBUTE attribute\n#define VARYING varying\n",
          "#version 120\n#define VARYING varying\n#define TEXTURE texture2D\n#define FRAGMENT_COLOUR gl_FragColor\n"};
}

}  // namespace

video_widget::video_widget(QWidget* parent) : QOpenGLWidget(parent, Qt::WindowFlags()) {}

video_widget::~video_widget() {
  // QOpenGLWidget's own destructor deletes the context after this object is
  // no longer a video_widget: the texture goes now, while it still can.
  cleanup();
}

QSize video_widget::minimumSizeHint() const { return QSize(32, 32); }

void video_widget::mousePressEvent(QMouseEvent* event) {
  // QWidget's double-click handler calls this too: a double click emits twice.
  emit clicked();
  event->accept();
}

void video_widget::mouseDoubleClickEvent(QMouseEvent* event) {
  emit clicked();
  if (event->button() == Qt::LeftButton) emit double_clicked();
  event->accept();
}

void video_widget::set_display_aspect(double aspect) {
  if (!(aspect > 0.0)) aspect = 0.0;
  if (aspect == aspect_) return;
  aspect_ = aspect;
  update();
}

void video_widget::initializeGL() {
  // Called again with a new context when the widget moves to another window;
  // the old context's resources went in cleanup() before that context did.
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &video_widget::cleanup, Qt::UniqueConnection);
  initializeOpenGLFunctions();
  rows_need_packing_ = context()->isOpenGLES() && context()->format().majorVersion() < 3;
  glDisable(GL_DEPTH_TEST);
  GLuint id = 0;
  glGenTextures(1, &id);
  texture_id = id;
  texture_width = texture_height = 0;
  texture_format = 0;
  glBindTexture(GL_TEXTURE_2D, texture_id);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  // Clamped: the picture's edges are not blended with the opposite ones,
  // and OpenGL ES 2.0 samples a texture of any size only so.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  texture_filter_ = 0;  // set with the first upload
  if (!build_programs()) return;

  quad_.create();
  quad_.bind();
  quad_.allocate(quad_vertices, int(sizeof(quad_vertices)));
  // Where vertex arrays exist the layout is kept in one; elsewhere paintGL()
  // sets it each time.
  if (quad_layout_.create()) {
    QOpenGLVertexArrayObject::Binder layout(&quad_layout_);
    quad_.bind();
    set_quad_layout();
  }
  quad_.release();
}

void video_widget::set_quad_layout() {
  // The bound vertex buffer: x, y, then u, v, four floats a vertex. Every
  // program has its attributes at the same locations.
  glEnableVertexAttribArray(position_location);
  glEnableVertexAttribArray(texcoord_location);
  glVertexAttribPointer(position_location, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float), nullptr);
  glVertexAttribPointer(texcoord_location, 2, GL_FLOAT, GL_FALSE, 4 * sizeof(float),
                        reinterpret_cast<const void*>(2 * sizeof(float)));
}

bool video_widget::build_programs() {
  const shader_headers headers = headers_for(*context());
  for (int kind = 0; kind < shader_count; ++kind) {
    auto program = std::make_unique<QOpenGLShaderProgram>();
    const QByteArray layout = "#define LAYOUT " + QByteArray::number(kind) + "\n";
    const bool built =
        program->addShaderFromSourceCode(QOpenGLShader::Vertex, QByteArray(headers.vertex) + vertex_body) &&
        program->addShaderFromSourceCode(QOpenGLShader::Fragment,
                                         QByteArray(headers.fragment) + layout + fragment_body);
    program->bindAttributeLocation("position", position_location);
    program->bindAttributeLocation("texcoord", texcoord_location);
    if (!built || !program->link()) {
      qCWarning(render_log).noquote()
          << "display: the shader program cannot be built for this OpenGL"
          << "(" + QString::fromLatin1(reinterpret_cast<const char*>(glGetString(GL_VERSION))) + "):" << program->log();
      for (auto& p : programs_) p.reset();
      return false;
    }
    program->bind();
    program->setUniformValue("picture", 0);
    program->release();
    programs_[size_t(kind)] = std::move(program);
  }
  return true;
}

void video_widget::resizeGL(int, int) {
  // paintGL() sets the viewport for each picture: it depends on the aspect too.
}

void video_widget::paintGL() {
  const qreal ratio = devicePixelRatioF();
  const int w = int(width() * ratio), h = int(height() * ratio);
  // Black first: nothing received yet, and the bars beside or above the
  // picture.
  glViewport(0, 0, w, h);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  if (!has_image || !programs_ready()) return;
  if (aspect_ > 0.0 && w > 0 && h > 0) {
    // The largest rectangle of the aspect that fits, centred; a side within
    // a pixel of the widget's is taken whole, so a window sized to the
    // picture shows no bar of rounding.
    int pw = w, ph = h;
    if (double(w) / h > aspect_)
      pw = std::min(w, int(std::lround(h * aspect_)));
    else
      ph = std::min(h, int(std::lround(w / aspect_)));
    if (w - pw <= 1) pw = w;
    if (h - ph <= 1) ph = h;
    glViewport((w - pw) / 2, (h - ph) / 2, pw, ph);
  }
  QOpenGLShaderProgram& program = *programs_[size_t(shown_)];
  program.bind();
  if (shown_ == rgb_image)
    program.setUniformValue("swap_red_blue", swap_red_blue_ ? 1.0f : 0.0f);
  else
    program.setUniformValue("texels", QVector2D(float(texture_width), float(texture_height)));
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, texture_id);
  if (quad_layout_.isCreated()) {
    QOpenGLVertexArrayObject::Binder layout(&quad_layout_);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  } else {
    quad_.bind();
    set_quad_layout();
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glDisableVertexAttribArray(position_location);
    glDisableVertexAttribArray(texcoord_location);
    quad_.release();
  }
  program.release();
}

void video_widget::cleanup() {
  if (texture_id == 0 && !programs_ready()) return;  // never shown, or already done for this context
  makeCurrent();
  const GLuint id = texture_id;
  if (id != 0) glDeleteTextures(1, &id);
  texture_id = 0;
  texture_width = texture_height = 0;
  texture_format = 0;
  for (auto& p : programs_) p.reset();
  quad_.destroy();
  quad_layout_.destroy();
  // A new context starts with an empty texture: black until the next image.
  has_image = false;
  doneCurrent();
  // From the destructor: the context outlives this object and must not call
  // back into it.
  if (QOpenGLContext* c = context()) disconnect(c, &QOpenGLContext::aboutToBeDestroyed, this, &video_widget::cleanup);
}

void video_widget::upload_texture(const void* pixels, int width, int height, unsigned int format, int row_pixels,
                                  shader kind, bool swap_red_blue) {
  // Before the first show there is no context and no texture to fill.
  if (!isValid() || texture_id == 0 || width <= 0 || height <= 0) return;
  makeCurrent();
  glBindTexture(GL_TEXTURE_2D, texture_id);
  const size_t pixel_bytes = format == GL_RGB ? 3 : 4;
  std::vector<unsigned char> packed;
  if (row_pixels == width) row_pixels = 0;
  if (row_pixels != 0 && rows_need_packing_) {
    // No row length to give: the rows are made tight first.
    const size_t row = size_t(width) * pixel_bytes, stride = size_t(row_pixels) * pixel_bytes;
    packed.resize(row * size_t(height));
    for (int y = 0; y < height; ++y)
      std::memcpy(packed.data() + row * size_t(y), static_cast<const unsigned char*>(pixels) + stride * size_t(y), row);
    pixels = packed.data();
    row_pixels = 0;
  }
  if (row_pixels != 0) glPixelStorei(GL_UNPACK_ROW_LENGTH, row_pixels);
  if (width == texture_width && height == texture_height && format == texture_format) {
    // Same size as the last image: its storage is filled again, not made anew.
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, pixels);
  } else {
    // The internal format is the upload's own (OpenGL ES 2.0 has no other),
    // so the driver copies the bytes as they are.
    glTexImage2D(GL_TEXTURE_2D, 0, GLint(format), width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
    texture_width = width;
    texture_height = height;
    texture_format = format;
  }
  if (row_pixels != 0) glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  // RGB images are filtered by the texture unit; 4:2:2 texels hold two
  // pixels each, which the shader filters itself from the nearest texels.
  const int filter = kind == rgb_image ? GL_LINEAR : GL_NEAREST;
  if (filter != texture_filter_) {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    texture_filter_ = filter;
  }
  shown_ = kind;
  swap_red_blue_ = swap_red_blue;
  has_image = true;
  update();
}

void video_widget::display_picture(const unsigned char* pixels, const picture_info& info) {
  if (!pixels || !info.valid()) return;
  const shader kind = info.layout == picture_layout::woven     ? woven_fields
                      : info.layout == picture_layout::blended ? blended_fields
                                                               : picture_rows;
  upload_texture(pixels, info.width / 2, info.rows, GL_RGBA, 0, kind);
}

void video_widget::display_image(QImage image) {
  switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: {
      // Bytes B, G, R, A in memory (a little-endian machine): they go up as
      // they are, with no copy and no swap on this thread or in the driver;
      // the shader swaps red and blue.
      if (image.bytesPerLine() % 4 != 0) break;
      upload_texture(image.constBits(), image.width(), image.height(), GL_RGBA, int(image.bytesPerLine() / 4),
                     rgb_image, true);
      return;
    }
    case QImage::Format_RGB888: {
      // Already R, G, B in memory, so no swap; rows may be padded to 4 bytes
      // while the unpack alignment is 1, so they are packed tight first.
      const int w = image.width(), h = image.height();
      if (w <= 0 || h <= 0) return;
      const size_t row = size_t(w) * 3;
      std::vector<unsigned char> packed(row * size_t(h));
      for (int y = 0; y < h; ++y) std::memcpy(packed.data() + row * size_t(y), image.constScanLine(y), row);
      upload_texture(packed.data(), w, h, GL_RGB, 0, rgb_image);
      return;
    }
    default:
      break;
  }
  qCDebug(render_log) << "display: an image of format" << image.format() << "is converted before it is shown";
  // Shown anyway, through Qt's own conversion: the upload then reads exactly
  // the converted copy and never past the caller's data.
  if (image.isNull()) return;
  const QImage converted = image.convertToFormat(QImage::Format_RGBX8888);
  if (converted.isNull()) return;
  upload_texture(converted.constBits(), converted.width(), converted.height(), GL_RGBA,
                 int(converted.bytesPerLine() / 4), rgb_image);
}

void video_widget::display_frame(QVideoFrame frame) {
  switch (frame.pixelFormat()) {
    case QVideoFrameFormat::Format_ARGB8888:
    case QVideoFrameFormat::Format_ARGB8888_Premultiplied:
    case QVideoFrameFormat::Format_XRGB8888:
    case QVideoFrameFormat::Format_BGRA8888:
    case QVideoFrameFormat::Format_BGRA8888_Premultiplied:
    case QVideoFrameFormat::Format_BGRX8888:
      break;
    default:
      qCDebug(render_log) << "display: a frame of pixel format" << frame.pixelFormat() << "cannot be shown";
      return;
  }
  if (!frame.map(QVideoFrame::ReadOnly)) return;
  const int w = frame.width(), h = frame.height();
  const qsizetype stride = frame.bytesPerLine(0);
  const qsizetype mapped = frame.mappedBytes(0);
  // The bytes go up as they are; the rows must lie within the mapped data.
  if (frame.bits(0) && w > 0 && h > 0 && stride >= qsizetype(w) * 4 && stride % 4 == 0 &&
      stride * (h - 1) + qsizetype(w) * 4 <= mapped)
    upload_texture(frame.bits(0), w, h, GL_RGBA, int(stride / 4), rgb_image);
  frame.unmap();
}
