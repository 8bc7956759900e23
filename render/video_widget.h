// The live picture: an OpenGL widget that shows each picture as one
// texture, over the whole widget, or, once a display aspect is set, as large
// as fits at that aspect, centred between black bars (a window resized
// freely, the full screen).
//
// The render thread's pictures are the stick's 4:2:2 (render/display_picture.h):
// they go up as their bytes, two pixels a texel, and the fragment shader
// weaves or blends the fields, scales and converts them to RGB, so neither
// the render thread nor this one converts a pixel. RGB images (QImage,
// QVideoFrame) are shown too.
//
// It draws with a shader program and a vertex buffer only, so the same code
// runs on desktop OpenGL 2.1, on a 3.2+ core profile and on OpenGL ES 2.0
// and 3.x (single-board computers, some Wayland desktops): the shading
// language's version is chosen for the context at hand. 32-bit images go up
// as the bytes they are (B, G, R, A) and the shader swaps red and blue, so
// the driver never converts them.
#pragma once

#include <QImage>
#include <QOpenGLBuffer>
#include <QOpenGLFunctions>
#include <QOpenGLVertexArrayObject>
#include <QOpenGLWidget>
#include <QVideoFrame>
#include <array>
#include <memory>

class QMouseEvent;
class QOpenGLShaderProgram;
struct picture_info;

class video_widget : public QOpenGLWidget, protected QOpenGLFunctions {
  Q_OBJECT

 public:
  explicit video_widget(QWidget* parent = nullptr);
  ~video_widget() override;
  QSize minimumSizeHint() const override;
  // Width over height the picture is shown at; 0 (the start): the picture
  // fills the widget whatever its shape.
  void set_display_aspect(double aspect);

 signals:
  void clicked();
  // A double click of the left button (after the clicked() of its presses).
  void double_clicked();

 public slots:
  // A 4:2:2 picture as the render thread makes it; the bytes are read
  // before this returns.
  void display_picture(const unsigned char* pixels, const picture_info& info);
  void display_frame(QVideoFrame frame);
  void display_image(QImage image);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;

 private:
  // Deletes the texture, the program and the buffers in the context they
  // were made in; run when that context is about to go (a move to another
  // window, the widget's end).
  void cleanup();
  // What the texture holds, and so which program draws it; the value is
  // the program's LAYOUT in the fragment shader.
  enum shader : int { rgb_image, picture_rows, woven_fields, blended_fields, shader_count };
  // Builds the programs for this context's shading language; false (logged)
  // when one cannot be.
  bool build_programs();
  // Points the attributes at the bound vertex buffer.
  void set_quad_layout();
  // `format` is GL_RGBA or GL_RGB; `row_pixels` is the distance between rows
  // in pixels (0: rows are tight). `swap_red_blue`: the bytes are B, G, R.
  void upload_texture(const void* pixels, int width, int height, unsigned int format, int row_pixels, shader kind,
                      bool swap_red_blue = false);

  std::array<std::unique_ptr<QOpenGLShaderProgram>, shader_count> programs_;
  shader shown_ = rgb_image;  // the texture's kind
  // Every program built (build_programs() keeps all or none).
  bool programs_ready() const { return programs_.back() != nullptr; }
  QOpenGLBuffer quad_{QOpenGLBuffer::VertexBuffer};
  QOpenGLVertexArrayObject quad_layout_;  // where the context has vertex arrays (a core profile needs one)
  unsigned int texture_id = 0;
  int texture_width = 0;  // the size and format the texture's storage was made for
  int texture_height = 0;
  unsigned int texture_format = 0;
  int texture_filter_ = 0;  // GL_LINEAR for RGB images, GL_NEAREST for 4:2:2 texels
  bool swap_red_blue_ = false;
  bool rows_need_packing_ = false;  // OpenGL ES 2.0 has no GL_UNPACK_ROW_LENGTH
  bool has_image = false;           // the texture has content
  double aspect_ = 0.0;
};
