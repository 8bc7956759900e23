// The sound meters under the picture: a bar for each channel (L over R) on a
// dBFS scale from -60 to 0, as mixing programs draw them. The bright bar is
// the peak, the darker, thinner one inside it the RMS, the tick the peak
// hold; green up to -20 dB, yellow to -9, red above. The square at a bar's
// end lights red once the channel clipped and stays lit until the meters are
// clicked. A channel without sound says "no sound" on its bar; so do both
// when no sound has come for half a second.
//
// Fed with the blocks the recorder takes (take_sound()); looks at its levels
// every 30 ms and repaints only when what it draws moved.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <array>

#include "audio/sound_levels.h"

class QTimer;

class sound_meters : public QWidget {
  Q_OBJECT

 public:
  // The row's height, which the window adds under the picture.
  static constexpr int fixed_height = 32;
  static constexpr int update_ms = 30;
  // Without a block for this long, the input has stopped: "no sound".
  static constexpr int silence_after_ms = 500;
  static constexpr double scale_min_db = -60.0;

  explicit sound_meters(QWidget* parent = nullptr);

  // What the meters measure now.
  sound_levels::reading levels() const { return levels_.levels(); }
  // Looks at the levels (and whether blocks still come), as the timer does;
  // true when what is drawn changed and a repaint was asked for.
  bool refresh();

 public slots:
  // A block of 48 kHz stereo 16-bit sound, as the input read it.
  void take_sound(const QByteArray& bytes);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // One channel as drawn: pixel ends of the bars and the hold tick.
  struct drawn_channel {
    int peak_x = 0, rms_x = 0, hold_x = -1;
    bool clipped = false, no_sound = true;
    bool operator==(const drawn_channel&) const = default;
  };
  using drawn_state = std::array<drawn_channel, sound_levels::channels>;

  struct row_geometry {
    int bar_left = 0, bar_width = 0, clip_left = 0;
    int top(int channel) const;
  };
  row_geometry rows() const;
  int x_of(double db) const;
  drawn_state state_for(const sound_levels::reading& reading) const;
  // The scale, the dim zones and the letters, drawn again on a resize.
  void draw_background();

  sound_levels levels_;
  QTimer* timer_ = nullptr;
  QElapsedTimer since_block_;
  bool silent_ = true;
  drawn_state drawn_{};
  QImage background_;
  QImage no_sound_text_;
};
