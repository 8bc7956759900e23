// The live picture: an OpenGL widget that shows each image as one texture,
// over the whole widget, or, once a display aspect is set, as large as fits
// at that aspect, centred between black bars (a window resized freely, the
// full screen).
#pragma once

#include <QImage>
#include <QOpenGLWidget>
#include <QVideoFrame>

class QMouseEvent;

class video_widget : public QOpenGLWidget {
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
  void display_frame(QVideoFrame frame);
  void display_image(QImage image);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void initializeGL() override;
  void resizeGL(int w, int h) override;
  void paintGL() override;

 private:
  // Deletes the texture in the context it was made in; run when that context
  // is about to go (a move to another window, the widget's end).
  void cleanup();
  // `row_pixels` is the distance between rows in pixels (0: rows are tight).
  void upload_texture(const void* pixels, int width, int height, unsigned int format, int row_pixels = 0);

  unsigned int texture_id = 0;
  int texture_width = 0;  // the size the texture's storage was made for
  int texture_height = 0;
  bool has_image = false;  // the texture has content
  double aspect_ = 0.0;
};
