#include "app/full_screen.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

full_screen::full_screen(QMainWindow* window, QWidget* picture, std::vector<QWidget*> hidden, QAction* item)
    : QObject(window), window_(window), picture_(picture), item_(item) {
  for (QWidget* w : hidden) hidden_.emplace_back(w);
  // A hidden menu bar takes its items' keys with it; held by the window as
  // well, they work in full screen too.
  for (QAction* top : window_->menuBar()->actions())
    if (QMenu* menu = top->menu()) window_->addActions(menu->actions());
  // Esc only leaves: out of full screen it is free for dialogs and menus.
  escape_ = new QAction(this);
  escape_->setShortcut(QKeySequence(Qt::Key_Escape));
  escape_->setEnabled(false);
  window_->addAction(escape_);
  connect(escape_, &QAction::triggered, this, &full_screen::leave);
  if (item_) connect(item_, &QAction::triggered, this, &full_screen::toggle);

  pointer_timer_ = new QTimer(this);
  pointer_timer_->setSingleShot(true);
  pointer_timer_->setInterval(pointer_idle_ms);
  connect(pointer_timer_, &QTimer::timeout, this, [this] {
    if (on_) picture_->setCursor(Qt::BlankCursor);
  });
  picture_->setMouseTracking(true);
  picture_->installEventFilter(this);
}

void full_screen::toggle() {
  if (on_)
    leave();
  else
    enter();
}

void full_screen::enter() {
  if (on_) return;
  on_ = true;
  was_maximized_ = window_->isMaximized();
  old_geometry_ = window_->geometry();
  window_->menuBar()->hide();
  for (auto& w : hidden_)
    if (w) w->hide();
  escape_->setEnabled(true);
  if (item_) item_->setChecked(true);
  window_->showFullScreen();
  pointer_timer_->start();
}

void full_screen::leave() {
  if (!on_) return;
  on_ = false;
  escape_->setEnabled(false);
  if (item_) item_->setChecked(false);
  pointer_timer_->stop();
  show_pointer();
  window_->menuBar()->show();
  for (auto& w : hidden_)
    if (w) w->show();
  if (was_maximized_) {
    window_->showMaximized();
  } else {
    window_->showNormal();
    window_->setGeometry(old_geometry_);
  }
}

bool full_screen::hold_size(QSize size) {
  if (!on_) return false;
  old_geometry_.setSize(size);
  was_maximized_ = false;
  return true;
}

void full_screen::show_pointer() { picture_->unsetCursor(); }

bool full_screen::eventFilter(QObject* watched, QEvent* event) {
  if (watched != picture_) return false;
  switch (event->type()) {
    case QEvent::MouseMove:
      if (on_) {
        show_pointer();
        pointer_timer_->start();
      }
      break;
    case QEvent::ContextMenu: {
      // The menu bar's menus, the same items, wherever the bar is.
      QMenu menu;
      menu.addActions(window_->menuBar()->actions());
      show_pointer();
      menu.exec(static_cast<QContextMenuEvent*>(event)->globalPos());
      if (on_) pointer_timer_->start();
      return true;
    }
    default:
      break;
  }
  return false;
}
