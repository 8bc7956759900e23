#include "render/video_widget.h"

#include <GL/gl.h>

#include <QDebug>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QVideoFrameFormat>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/logging.h"

// QImage's 32-bit formats are words 0xAARRGGBB: in memory B, G, R, A only
// on a little-endian machine, which the BGRA upload relies on.
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the display uploads 32-bit images as BGRA bytes");

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
  // the old context's texture went in cleanup() before that context did.
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &video_widget::cleanup, Qt::UniqueConnection);
  glEnable(GL_TEXTURE_2D);
  glDisable(GL_DEPTH_TEST);
  GLuint id = 0;
  glGenTextures(1, &id);
  texture_id = id;
  texture_width = texture_height = 0;
  glBindTexture(GL_TEXTURE_2D, texture_id);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

void video_widget::resizeGL(int, int) {
  // paintGL() sets the viewport for each picture: it depends on the aspect too.
}

void video_widget::paintGL() {
  const qreal ratio = devicePixelRatioF();
  const int w = int(width() * ratio), h = int(height() * ratio);
  // Black first: nothing received yet (rather than an untextured white
  // quad), and the bars beside or above the picture.
  glViewport(0, 0, w, h);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  if (!has_image) return;
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
  glBindTexture(GL_TEXTURE_2D, texture_id);
  glBegin(GL_QUADS);
  glTexCoord2f(0.0f, 0.0f);
  glVertex3f(-1.0f, 1.0f, 0.0f);
  glTexCoord2f(1.0f, 0.0f);
  glVertex3f(1.0f, 1.0f, 0.0f);
  glTexCoord2f(1.0f, 1.0f);
  glVertex3f(1.0f, -1.0f, 0.0f);
  glTexCoord2f(0.0f, 1.0f);
  glVertex3f(-1.0f, -1.0f, 0.0f);
  glEnd();
}

void video_widget::cleanup() {
  if (texture_id == 0) return;  // never shown, or already done for this context
  makeCurrent();
  const GLuint id = texture_id;
  glDeleteTextures(1, &id);
  texture_id = 0;
  texture_width = texture_height = 0;
  // A new context starts with an empty texture: black until the next image.
  has_image = false;
  doneCurrent();
  // From the destructor: the context outlives this object and must not call
  // back into it.
  if (QOpenGLContext* c = context()) disconnect(c, &QOpenGLContext::aboutToBeDestroyed, this, &video_widget::cleanup);
}

void video_widget::upload_texture(const void* pixels, int width, int height, unsigned int format, int row_pixels) {
  // Before the first show there is no context and no texture to fill.
  if (!isValid() || texture_id == 0 || width <= 0 || height <= 0) return;
  makeCurrent();
  glBindTexture(GL_TEXTURE_2D, texture_id);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, row_pixels);
  if (width == texture_width && height == texture_height) {
    // Same size as the last image: its storage is filled again, not made anew.
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, pixels);
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
    texture_width = width;
    texture_height = height;
  }
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  has_image = true;
  update();
}

void video_widget::display_image(QImage image) {
  switch (image.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32: {
      // Bytes B, G, R, A in memory (a little-endian machine): GL_BGRA takes
      // them as they are, with no copy and no swap on this thread.
      if (image.bytesPerLine() % 4 != 0) break;
      upload_texture(image.constBits(), image.width(), image.height(), GL_BGRA, int(image.bytesPerLine() / 4));
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
      upload_texture(packed.data(), w, h, GL_RGB);
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
                 int(converted.bytesPerLine() / 4));
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
    upload_texture(frame.bits(0), w, h, GL_RGBA, int(stride / 4));
  frame.unmap();
}
