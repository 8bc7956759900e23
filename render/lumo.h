// The live picture: an OpenGL widget that shows each image as one texture
// stretched over the whole widget.
#pragma once

#include <QImage>
#include <QOpenGLWidget>
#include <QVideoFrame>

class Lumo : public QOpenGLWidget {
  Q_OBJECT

 public:
  explicit Lumo(QWidget* parent = nullptr);
  ~Lumo() override;
  QSize minimumSizeHint() const override;

 signals:
  void clicked();

 public slots:
  void display_frame(QVideoFrame frame);
  void display_image(QImage image);
};
