#include "render/lumo.h"

// Being written: the texture upload and the quad.
Lumo::Lumo(QWidget* parent) : QOpenGLWidget(parent) {}
Lumo::~Lumo() = default;
QSize Lumo::minimumSizeHint() const { return QSize(32, 32); }
void Lumo::display_frame(QVideoFrame) {}
void Lumo::display_image(QImage) {}
