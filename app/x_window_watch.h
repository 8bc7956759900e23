// Qt runs on without a window when another X client destroys it; this
// notices, for a window and for an open question or message. Installed on
// the application while it lives; GUI thread only.
#pragma once

#include <QAbstractNativeEventFilter>
#include <functional>

class QWidget;

class x_window_watch final : public QAbstractNativeEventFilter {
 public:
  // `gone` runs (queued, on `window`'s thread) once the X window `window`
  // draws into was destroyed from outside.
  x_window_watch(QWidget* window, std::function<void()> gone);
  ~x_window_watch() override;

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override;

 private:
  QWidget* window_;
  std::function<void()> gone_;
};
