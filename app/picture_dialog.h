// "Picture...": the decoder's brightness, contrast, saturation and hue for
// the input in force, each a slider with its value as a number and a
// "Reset" to its default. Not modal: the picture changes as a slider moves,
// while the window goes on showing (and recording).
#pragma once

#include <QDialog>
#include <array>

#include "capture/capture_settings.h"

class QSlider;
class QSpinBox;

class picture_dialog : public QDialog {
  Q_OBJECT

 public:
  explicit picture_dialog(QWidget* parent = nullptr);

  // Shows these values, telling no one.
  void show_controls(const picture_controls& controls);
  picture_controls controls() const;

 signals:
  // A value moved.
  void changed(picture_controls controls);

 private:
  struct row {
    QSlider* slider = nullptr;
    QSpinBox* number = nullptr;
  };
  std::array<row, 4> rows_;
  bool quiet_ = false;
};
