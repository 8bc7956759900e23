#include "app/picture_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

namespace {
struct control {
  const char* name;  // the widgets' object names
  const char* text;
  picture_controls::range range;
  int picture_controls::*value;
};
constexpr control controls_shown[] = {
    {"brightness", QT_TRANSLATE_NOOP("picture_dialog", "&Brightness"), picture_controls::brightness_range,
     &picture_controls::brightness},
    {"contrast", QT_TRANSLATE_NOOP("picture_dialog", "&Contrast"), picture_controls::contrast_range,
     &picture_controls::contrast},
    {"saturation", QT_TRANSLATE_NOOP("picture_dialog", "&Saturation"), picture_controls::saturation_range,
     &picture_controls::saturation},
    {"hue", QT_TRANSLATE_NOOP("picture_dialog", "&Hue"), picture_controls::hue_range, &picture_controls::hue},
};
}  // namespace

picture_dialog::picture_dialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Picture"));
  auto* grid = new QGridLayout(this);
  const picture_controls defaults;
  for (size_t i = 0; i < rows_.size(); ++i) {
    const control& c = controls_shown[i];
    row& r = rows_[i];
    r.slider = new QSlider(Qt::Horizontal, this);
    r.slider->setObjectName(c.name);
    r.slider->setRange(c.range.low, c.range.high);
    r.slider->setMinimumWidth(256);
    r.number = new QSpinBox(this);
    r.number->setObjectName(QString(c.name) + "_number");
    r.number->setRange(c.range.low, c.range.high);
    auto* label = new QLabel(tr(c.text), this);
    label->setBuddy(r.slider);
    auto* reset = new QPushButton(tr("Reset"), this);
    reset->setObjectName(QString(c.name) + "_reset");
    reset->setAutoDefault(false);
    const int row_index = int(i);
    grid->addWidget(label, row_index, 0);
    grid->addWidget(r.slider, row_index, 1);
    grid->addWidget(r.number, row_index, 2);
    grid->addWidget(reset, row_index, 3);
    // The slider and the number follow each other; either tells.
    connect(r.slider, &QSlider::valueChanged, this, [this, &r](int v) {
      r.number->setValue(v);
      if (!quiet_) emit changed(controls());
    });
    connect(r.number, qOverload<int>(&QSpinBox::valueChanged), r.slider, &QSlider::setValue);
    const int default_value = defaults.*c.value;
    connect(reset, &QPushButton::clicked, r.slider, [&r, default_value] { r.slider->setValue(default_value); });
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  grid->addWidget(buttons, int(rows_.size()), 0, 1, 4);
  show_controls(defaults);
}

void picture_dialog::show_controls(const picture_controls& shown) {
  quiet_ = true;
  for (size_t i = 0; i < rows_.size(); ++i) rows_[i].slider->setValue(shown.*controls_shown[i].value);
  quiet_ = false;
}

picture_controls picture_dialog::controls() const {
  picture_controls p;
  for (size_t i = 0; i < rows_.size(); ++i) p.*controls_shown[i].value = rows_[i].slider->value();
  return p;
}
