#include "app/main_window.h"

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>
#include <QWindow>
#include <cstdlib>

#include "app/debug_console.h"
#include "app/termination_signals.h"
#include "base/logging.h"
#include "record/recording_journal.h"
#include "render/video_widget.h"

namespace {
// Height of the menu bar row that the window adds to the video area.
constexpr int menu_bar_height = 20;
constexpr int encoder_pixel_format = 4;  // FFmpeg's planar YUV 4:2:2
}  // namespace

// Qt runs on without a window when another X client destroys it; this
// notices, for the main window and for an open question or message. Qt
// destroys and re-creates windows itself (when the flags change, or another
// window goes) and the new one may get a destroyed one's id, so a
// notification for a window's id is only believed when the X server no
// longer knows that window.
class main_window::x_window_watch final : public QAbstractNativeEventFilter {
 public:
  explicit x_window_watch(main_window* window) : window_(window) {}

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
    const WId destroyed = static_cast<const xcb_destroy_notify_event_t*>(message)->window;
    // A question or message whose window was destroyed from outside would
    // wait for an answer no one can give: it is closed, as a window
    // manager's close would close it.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != window_ && is_gone(modal->windowHandle(), destroyed)) {
      QMetaObject::invokeMethod(
          modal, [modal] { modal->close(); }, Qt::QueuedConnection);
      return false;
    }
    // The window Qt draws into now (the widget's own id can be stale after
    // Qt re-created it).
    if (!is_gone(window_->windowHandle(), destroyed)) return false;
    QMetaObject::invokeMethod(window_, &main_window::window_destroyed, Qt::QueuedConnection);
    return false;
  }

 private:
  // `destroyed` is the X window `handle` draws into, and the server no
  // longer knows it.
  static bool is_gone(const QWindow* handle, WId destroyed) {
    return handle && handle->handle() && destroyed == handle->winId() && !still_there(xcb_window_t(destroyed));
  }

  static bool still_there(xcb_window_t window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return true;
    xcb_generic_error_t* error = nullptr;
    xcb_get_window_attributes_reply_t* reply = xcb_get_window_attributes_reply(
        x11->connection(), xcb_get_window_attributes(x11->connection(), window), &error);
    const bool there = reply != nullptr;
    std::free(reply);
    std::free(error);
    return there;
  }

  main_window* window_;
};

main_window::main_window(const launch_options& options, QWidget* parent) : QMainWindow(parent), launch(options) {
  recording_.set_stop_after_ms(options.stop_after_ms);
  ::recorder& recorder = recording_.recorder();
  recording_settings& next_recording = recording_.next_settings();
  next_recording.extension = ".avi";
  next_recording.keep_time = true;  // the stick is live: its time is the recording's
  capture_extension = next_recording.extension;
  next_recording.pixel_format = encoder_pixel_format;
  next_recording.frame_width = capture_settings::line_pixels;

  // The defaults first: the stored preferences take effect at the first stream.
  apply_preferences();

  load_preferences();
  stored_preferences = preferences;
  apply_launch_overrides();
  next_recording.journal_directory = recording_journal::default_directory();
  create_menus();

  setWindowTitle("Ostrevin");

  display = new video_widget();
  connect(this, &main_window::picture_ready, display, &video_widget::display_image);
  setCentralWidget(display);
  display->show();
  create_notice();

  connect(&capture_, &capture_thread::capture_device_not_found, this, &main_window::capture_device_not_found);
  connect(&capture_, &capture_thread::capture_device_not_usb_2_0, this, &main_window::capture_device_not_usb_2_0);
  connect(&capture_, &capture_thread::capture_device_unusable, this, &main_window::capture_device_unusable);
  connect(&capture_, &capture_thread::easycap_audio_not_found, this, &main_window::set_easycap_audio_not_found);
  connect(&capture_, &capture_thread::stream_state_changed, this, &main_window::stream_state_changed);

  qRegisterMetaType<QImage>("QImage");

  connect(&sound_, &sound_preview::stick_sound_missing, this, &main_window::fall_back_to_line_in);
  connect(&sound_, &sound_preview::format_not_supported, this, &main_window::audio_format_not_supported);
  connect(&sound_, &sound_preview::mute_changed, this, &main_window::audio_mute_changed);
  // The sound goes to the recorder as it is read; the recorder takes it
  // only while a recording runs (until it has the sound of its last frame).
  connect(&sound_, &sound_preview::sound_captured, &recorder, &::recorder::add_audio, Qt::DirectConnection);

  connect(&render_, &render_thread::field_rendered, this, &main_window::field_rendered);
  connect(&capture_, &capture_thread::easycap_streaming, this, &main_window::audio_start);
  connect(this, &main_window::change_channel, &capture_, &capture_thread::set_input);
  connect(this, &main_window::set_standard, &capture_, &capture_thread::set_standard);
  connect(&recording_, &recording_controller::ended, this, &main_window::recording_ended);
  status_timer = new QTimer(this);
  status_timer->setInterval(500);
  connect(status_timer, &QTimer::timeout, this, &main_window::show_recording_status);

  if (launch.debug) {
    // The console on screen, fed every debug line.
    console_ = std::make_unique<debug_console>();
    console_->show_text = true;
    console_->flush_each_line = true;
    console_->open_log();
    console_->feed_from_log();
    console_->show();
  }
  if (launch.channel) capture_.set_input(*launch.channel);
  if (!launch.record_file.isEmpty()) {
    record_on_stream = true;
    QString name = launch.record_file;
    if (name.endsWith(capture_extension, Qt::CaseInsensitive)) name.chop(capture_extension.size());
    next_recording.base_name = name;
    menus.capture_action->setEnabled(true);
  }

  window_watch = std::make_unique<x_window_watch>(this);
  QCoreApplication::instance()->installNativeEventFilter(window_watch.get());

  frame_timer.start();
  capture_.start_capture();
  connect(&repair_, &recording_repair::told, this, &main_window::show_repair_notice);
  repair_.start_if_any(recording_.next_settings().journal_directory);
}

main_window::~main_window() {
  QCoreApplication::instance()->removeNativeEventFilter(window_watch.get());
  console_.reset();
  // A recording still running (the event loop ended on a device error) is
  // finished first: the file gets its trailer.
  stop_recording();
  // After a device error the event loop may end while the capture thread is
  // still winding down; a running thread must never be destroyed, and the
  // buffers it renders into must outlive it.
  if (capture_.isRunning()) capture_.request_close();
  // Also when it has already ended: waiting is what orders the threads'
  // last writes into the buffers before they are freed.
  capture_.wait();
  // A repair is let finish: a file cut in the middle of it would be worse.
  repair_.wait();
  sound_.release();
}

void main_window::apply_preferences() {
  apply_always_on_top();
  render_.display_f2 = preferences.display_f2;
  render_.display_interlaced = preferences.display_interlaced;
  render_.display_field_blended = preferences.display_field_blended;
  render_.settings_changed = true;
  capture_settings wanted = capture_.settings();
  wanted.standard =
      preferences.sixty_hz ? (preferences.pal_60 ? video_standard::pal_60 : video_standard::ntsc) : video_standard::pal;
  wanted.s_video = preferences.s_video;
  wanted.widescreen = preferences.widescreen;
  capture_.set_settings(wanted);
  current_capture = wanted;
  ::recording_settings& recording_settings = recording_.next_settings();
  recording_settings.widescreen = wanted.widescreen;
  recording_settings.field_lines = wanted.field_lines();
  resize_video_area(wanted.half_display_width() * 2, wanted.half_display_height() * 2);
}

void main_window::apply_always_on_top() {
  Qt::WindowFlags flags = windowFlags();
  if (preferences.always_on_top)
    flags |= Qt::WindowStaysOnTopHint;
  else
    flags &= ~Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  show();  // setWindowFlags hides a visible window
}

void main_window::resize_video_area(int width, int height) { resize(width, height + menu_bar_height); }

QString main_window::load_style_sheet() {
  QFile file("tessalin.css");
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) return QString();
  QTextStream stream(&file);
  QString text = stream.readAll();
  file.close();
  return text;
}

void main_window::device_error(const QString& text) {
  // Also in the log, for whoever started the program from a terminal.
  qCWarning(app_log).noquote() << "Ostrevin:" << text;
  // The stick is gone or cannot be programmed: whatever was recorded so far
  // is finished into a complete file before anything else.
  stop_recording();
  // However the message goes (its button, closed from outside, the window
  // closed behind it), the program ends on the error; a signal while it is
  // open names the signal instead.
  if (!close_unasked) exit_code_on_close = 1;
  QMessageBox::critical(this, tr("Ostrevin"), text, QMessageBox::Ok, QMessageBox::NoButton);
  // The capture thread ends right after it reports; make sure it has before
  // the event loop unwinds and the window (and the thread object) goes away.
  capture_.request_close();
  capture_.wait();
  end_event_loop(exit_code_on_close);
}

void main_window::end_event_loop(int code) {
  if (chosen_exit_code < 0) chosen_exit_code = code;
  QCoreApplication::exit(chosen_exit_code);
}

void main_window::capture_device_not_found() {
  device_error(
      tr("Sorry, Ostrevin could not locate the EasyCap hardware attached to this computer. Please connect the "
         "hardware, then try again."));
}

void main_window::capture_device_not_usb_2_0() {
  device_error(
      tr("Sorry, the EasyCap must be plugged in to a USB 2.0 port. Please ensure that it is plugged in to a USB 2.0 "
         "(High Speed) port, then try again."));
}

void main_window::capture_device_unusable(capture_thread::device_problem problem) {
  using problem_kind = capture_thread::device_problem;
  QString text;
  switch (problem) {
    case problem_kind::no_permission:
      text =
          tr("Sorry, Ostrevin found the EasyCap but is not allowed to use it: this user may not open its USB "
             "device. Please install the udev rule that comes with Ostrevin (see \"Using a real stick on Linux\" "
             "in the README), unplug the EasyCap and plug it in again, then try again.");
      break;
    case problem_kind::in_use:
      text =
          tr("Sorry, the EasyCap is in use by another program. Please close the other program that shows or "
             "records its video, then try again.");
      break;
    case problem_kind::configuration_refused:
    case problem_kind::interface_refused:
      text =
          tr("Sorry, the EasyCap did not accept Ostrevin's request to use it. Please unplug it and plug it in "
             "again, then try again.");
      break;
    case problem_kind::streaming_refused:
      text =
          tr("Sorry, the EasyCap could not start its video stream: the USB port may not have enough bandwidth "
             "left. Please plug it in to another USB 2.0 (High Speed) port, or unplug other devices that share "
             "its port, then try again.");
      break;
  }
  device_error(text);
}

void main_window::set_easycap_audio_not_found() { sound_.stick_has_no_sound(); }

void main_window::closeEvent(QCloseEvent* event) {
  if (closing) {  // already closed (a signal during the question)
    event->accept();
    return;
  }
  if (recording_.is_recording() && !close_unasked) {
    QMessageBox question(QMessageBox::Information, "Ostrevin", tr("Really close Ostrevin?"),
                         QMessageBox::Ok | QMessageBox::Cancel);
    question.setStyleSheet(load_style_sheet());
    const int answer = question.exec();
    if (closing) {
      event->accept();
      return;
    }
    // A signal (or the window destroyed) during the question closed it: the
    // close goes on as that asked, with its exit code. The window is in this
    // close already, so the close() that asked it comes to nothing.
    if (answer != QMessageBox::Ok && !close_unasked) {
      event->ignore();
      return;
    }
  }
  closing = true;
  sound_.stop_reading();
  event->accept();
  // The file is complete when this returns.
  stop_recording();
  capture_.request_close();
  capture_.wait();
  end_event_loop(exit_code_on_close);
}

void main_window::close_for_signal(int signal_number) {
  if (close_unasked) return;  // the first one decides
  close_unasked = true;
  exit_code_on_close = termination_signals::exit_code(signal_number);
  qCWarning(app_log).noquote() << "Ostrevin: ending on signal" << signal_number;
  // A question or a message that is open has no one to answer it.
  if (QWidget* modal = QApplication::activeModalWidget())
    if (modal != this) modal->close();
  close();
}

void main_window::window_destroyed() {
  if (close_unasked) return;
  close_unasked = true;
  qCWarning(app_log).noquote() << "Ostrevin: the window was destroyed from outside; ending";
  if (QWidget* modal = QApplication::activeModalWidget())
    if (modal != this) modal->close();
  close();
}
