#include "app/x_window_watch.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <cstdlib>

// Qt destroys and re-creates windows itself (when the flags change, or
// another window goes) and the new one may get a destroyed one's id, so a
// notification for a window's id is only believed when the X server no
// longer knows that window.
namespace {
bool still_there(xcb_window_t window) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  if (!x11 || !x11->connection()) return true;
  xcb_generic_error_t* error = nullptr;
  xcb_get_window_attributes_reply_t* reply =
      xcb_get_window_attributes_reply(x11->connection(), xcb_get_window_attributes(x11->connection(), window), &error);
  const bool there = reply != nullptr;
  std::free(reply);
  std::free(error);
  return there;
}

// `destroyed` is the X window `handle` draws into, and the server no longer
// knows it.
bool is_gone(const QWindow* handle, WId destroyed) {
  return handle && handle->handle() && destroyed == handle->winId() && !still_there(xcb_window_t(destroyed));
}
}  // namespace

x_window_watch::x_window_watch(QWidget* window, std::function<void()> gone) : window_(window), gone_(std::move(gone)) {
  QCoreApplication::instance()->installNativeEventFilter(this);
}

x_window_watch::~x_window_watch() { QCoreApplication::instance()->removeNativeEventFilter(this); }

bool x_window_watch::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
  if (type != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
  const WId destroyed = static_cast<const xcb_destroy_notify_event_t*>(message)->window;
  // A question or message whose window was destroyed from outside would
  // wait for an answer no one can give: it is closed, as a window manager's
  // close would close it.
  QWidget* modal = QApplication::activeModalWidget();
  if (modal && modal != window_ && is_gone(modal->windowHandle(), destroyed)) {
    QMetaObject::invokeMethod(
        modal, [modal] { modal->close(); }, Qt::QueuedConnection);
    return false;
  }
  // The window Qt draws into now (the widget's own id can be stale after Qt
  // re-created it).
  if (!is_gone(window_->windowHandle(), destroyed)) return false;
  QMetaObject::invokeMethod(window_, gone_, Qt::QueuedConnection);
  return false;
}
