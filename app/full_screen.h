// Full screen for the main window: the picture alone on the screen, at its
// aspect between black bars, with the menu bar and whatever else the window
// shows under the picture hidden until it is left. The menus stay at hand:
// their keys work throughout (the window holds their actions as well as the
// hidden bar), and a right-click on the picture opens them, in full screen
// and out of it. The mouse pointer hides after two seconds without moving
// over the picture and comes back with the next movement. GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <vector>

class QAction;
class QMainWindow;
class QTimer;
class QWidget;

class full_screen : public QObject {
  Q_OBJECT

 public:
  // `picture` is the window's picture widget; `hidden` are hidden while the
  // full screen lasts (the meters under the picture). `item` is the menu's
  // checkable "Full screen" item, kept checked as it is.
  full_screen(QMainWindow* window, QWidget* picture, std::vector<QWidget*> hidden, QAction* item);

  bool is_on() const { return on_; }
  // While on: the window takes `size` when full screen is left, instead of
  // the size it had (the standard or the scale changed meanwhile); true.
  // Off: false, nothing kept.
  bool hold_size(QSize size);
  static constexpr int pointer_idle_ms = 2000;

 public slots:
  void toggle();
  void leave();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void enter();
  void show_pointer();

  QMainWindow* window_;
  QWidget* picture_;
  std::vector<QPointer<QWidget>> hidden_;
  QAction* item_;
  QAction* escape_ = nullptr;
  QTimer* pointer_timer_ = nullptr;
  bool on_ = false;
  bool was_maximized_ = false;
  QRect old_geometry_;
};
