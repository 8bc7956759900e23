#include "app/sound_meters.h"

#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Rows: two bars of bar_height, a pixel apart, the scale's ticks and
// numbers under them.
constexpr int bar_top = 1;
constexpr int bar_height = 10;
constexpr int bar_gap = 1;
constexpr int letter_width = 12;
constexpr int clip_width = 12;
constexpr int clip_gap = 4;
constexpr int tick_top = bar_top + 2 * bar_height + bar_gap;
constexpr int tick_length = 2;
constexpr int label_pixels = 8;
constexpr int rms_inset = 3;  // the RMS bar is the peak bar's middle
constexpr int hold_width = 2;

constexpr double yellow_from_db = -20.0;
constexpr double red_from_db = -9.0;
constexpr double scale_ticks_db[] = {-60, -40, -20, -12, -6, -3, 0};

struct zone_colours {
  QColor dim, rms, bright;
};
const zone_colours green{{30, 64, 30}, {40, 140, 40}, {80, 210, 80}};
const zone_colours yellow{{64, 64, 28}, {150, 150, 40}, {230, 230, 80}};
const zone_colours red{{72, 28, 28}, {160, 40, 40}, {235, 75, 75}};
const QColor background_colour(24, 24, 24);
const QColor scale_colour(150, 150, 150);
const QColor clip_off(70, 20, 20);
const QColor clip_on(255, 30, 30);

// From the bar's start (zones[0]) to `end`, in each zone's `shade`: green to
// zones[1], yellow to zones[2], red to zones[3].
void fill_zones(QPainter& p, const std::array<int, 4>& zones, int end, int top, int height,
                QColor zone_colours::*shade) {
  const zone_colours* colours[] = {&green, &yellow, &red};
  for (int z = 0; z < 3 && end > zones[z]; ++z)
    p.fillRect(QRect(zones[z], top, std::min(end, zones[z + 1]) - zones[z], height), colours[z]->*shade);
}

}  // namespace

int sound_meters::row_geometry::top(int channel) const { return bar_top + channel * (bar_height + bar_gap); }

sound_meters::sound_meters(QWidget* parent) : QWidget(parent) {
  setObjectName("sound_meters");
  setFixedHeight(fixed_height);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setToolTip(tr("Sound levels of the left and right channel; click to clear the clip marks"));
  timer_ = new QTimer(this);
  timer_->setInterval(update_ms);
  connect(timer_, &QTimer::timeout, this, [this] { refresh(); });
  timer_->start();
}

void sound_meters::take_sound(const QByteArray& bytes) {
  levels_.add(bytes.constData(), size_t(bytes.size()));
  since_block_.start();
  silent_ = false;
}

bool sound_meters::refresh() {
  if (!silent_ && since_block_.hasExpired(silence_after_ms)) {
    levels_.nothing_came();
    silent_ = true;
  }
  const drawn_state now = state_for(levels_.levels());
  if (now == drawn_) return false;
  drawn_ = now;
  update();
  return true;
}

sound_meters::row_geometry sound_meters::rows() const {
  row_geometry g;
  g.bar_left = letter_width;
  g.clip_left = width() - clip_width;
  g.bar_width = std::max(1, g.clip_left - clip_gap - g.bar_left);
  return g;
}

int sound_meters::x_of(double db) const {
  const row_geometry g = rows();
  if (!(db > scale_min_db)) return g.bar_left;
  const double share = (std::min(db, 0.0) - scale_min_db) / -scale_min_db;
  return g.bar_left + int(std::lround(share * g.bar_width));
}

sound_meters::drawn_state sound_meters::state_for(const sound_levels::reading& reading) const {
  drawn_state state;
  for (size_t c = 0; c < state.size(); ++c) {
    const sound_levels::channel_level& level = reading[c];
    drawn_channel& d = state[c];
    d.clipped = level.clipped;
    d.no_sound = level.no_sound;
    if (d.no_sound) continue;
    d.peak_x = x_of(level.peak_db);
    d.rms_x = x_of(level.rms_db);
    d.hold_x = level.hold_db > scale_min_db ? x_of(level.hold_db) : -1;
  }
  return state;
}

void sound_meters::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  draw_background();
  // The pixel ends move with the width.
  drawn_ = state_for(levels_.levels());
}

void sound_meters::draw_background() {
  const qreal ratio = devicePixelRatioF();
  background_ = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
  background_.setDevicePixelRatio(ratio);
  background_.fill(background_colour);
  QPainter p(&background_);
  const row_geometry g = rows();
  QFont font = p.font();
  font.setPixelSize(label_pixels + 1);
  p.setFont(font);
  const int bar_right = g.bar_left + g.bar_width;
  for (int c = 0; c < sound_levels::channels; ++c) {
    const int top = g.top(c);
    p.setPen(scale_colour);
    p.drawText(QRect(0, top, letter_width, bar_height), Qt::AlignCenter, c == 0 ? "L" : "R");
    fill_zones(p, {g.bar_left, x_of(yellow_from_db), x_of(red_from_db), bar_right}, bar_right, top, bar_height,
               &zone_colours::dim);
    p.fillRect(QRect(g.clip_left, top, clip_width, bar_height), clip_off);
  }
  font.setPixelSize(label_pixels);
  p.setFont(font);
  p.setPen(scale_colour);
  const QFontMetrics metrics(font);
  int free_from = 0;  // a number that would touch the one before is left out
  for (double db : scale_ticks_db) {
    const int x = std::min(x_of(db), bar_right - 1);
    p.drawLine(x, tick_top, x, tick_top + tick_length - 1);
    const QString text = QString::number(int(db));
    const int w = metrics.horizontalAdvance(text);
    const int left = std::clamp(x - w / 2, 0, width() - w);
    if (left < free_from) continue;
    p.drawText(QRect(left, tick_top + tick_length, w, fixed_height - tick_top - tick_length),
               Qt::AlignHCenter | Qt::AlignVCenter, text);
    free_from = left + w + 2;
  }
  p.end();

  const QString text = tr("no sound");
  const QFontMetrics text_metrics(font);
  no_sound_text_ =
      QImage(QSize(text_metrics.horizontalAdvance(text) + 2, bar_height) * ratio, QImage::Format_ARGB32_Premultiplied);
  no_sound_text_.setDevicePixelRatio(ratio);
  no_sound_text_.fill(Qt::transparent);
  QPainter t(&no_sound_text_);
  t.setFont(font);
  t.setPen(QColor(200, 200, 200));
  t.drawText(QRect(0, 0, text_metrics.horizontalAdvance(text) + 2, bar_height), Qt::AlignCenter, text);
}

void sound_meters::paintEvent(QPaintEvent*) {
  // First shown, or moved to a screen of another pixel ratio.
  if (background_.isNull() || background_.devicePixelRatio() != devicePixelRatioF()) draw_background();
  QPainter p(this);
  p.drawImage(0, 0, background_);
  const row_geometry g = rows();
  const int yellow_x = x_of(yellow_from_db), red_x = x_of(red_from_db);
  const std::array<int, 4> zones{g.bar_left, yellow_x, red_x, g.bar_left + g.bar_width};
  for (int c = 0; c < sound_levels::channels; ++c) {
    const drawn_channel& d = drawn_[size_t(c)];
    const int top = g.top(c);
    if (d.clipped) p.fillRect(QRect(g.clip_left, top, clip_width, bar_height), clip_on);
    if (d.no_sound) {
      const QSizeF text = no_sound_text_.deviceIndependentSize();
      p.drawImage(QPointF(g.bar_left + (g.bar_width - text.width()) / 2, top), no_sound_text_);
      continue;
    }
    fill_zones(p, zones, d.peak_x, top, bar_height, &zone_colours::bright);
    fill_zones(p, zones, d.rms_x, top + rms_inset, bar_height - 2 * rms_inset, &zone_colours::rms);
    if (d.hold_x >= 0) {
      const int x = std::min(d.hold_x, g.bar_left + g.bar_width - hold_width);
      const zone_colours& zone = x >= red_x ? red : x >= yellow_x ? yellow : green;
      p.fillRect(QRect(x, top, hold_width, bar_height), zone.bright);
    }
  }
}

void sound_meters::mousePressEvent(QMouseEvent* event) {
  levels_.clear_clips();
  refresh();
  event->accept();
}
