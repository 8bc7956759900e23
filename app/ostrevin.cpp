#include "app/ostrevin.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QTextStream>
#include <QWindow>

#include "record/recording_journal.h"
#include <cstdlib>
#include <xcb/xcb.h>

#include "app/termination_signals.h"
#include "render/lumo.h"

namespace {
// Height of the menu bar row that the window adds to the video area.
constexpr int menu_bar_height = 20;
constexpr int encoder_pixel_format = 4;  // FFmpeg's planar YUV 4:2:2
}  // namespace

// Qt runs on without a window when another X client destroys it; this
// notices. Qt destroys and re-creates windows itself (when the flags
// change, or another window goes) and the new one may get a destroyed
// one's id, so a notification for the window's id is only believed when
// the X server no longer knows that window.
class ostrevin::x_window_watch final : public QAbstractNativeEventFilter {
 public:
  explicit x_window_watch(ostrevin* window) : window_(window) {}

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
    const WId destroyed = static_cast<const xcb_destroy_notify_event_t*>(message)->window;
    // The window Qt draws into now (the widget's own id can be stale after
    // Qt re-created it).
    const QWindow* handle = window_->windowHandle();
    if (!handle || !handle->handle() || destroyed != handle->winId() || still_there(xcb_window_t(destroyed)))
      return false;
    QMetaObject::invokeMethod(window_, &ostrevin::window_destroyed, Qt::QueuedConnection);
    return false;
  }

 private:
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

  ostrevin* window_;
};

ostrevin::ostrevin(QWidget* parent) : QMainWindow(parent) {
  encoder.extension = ".avi";
  encoder.keep_time = true;  // the stick is live: its time is the recording's
  encoder.fields_on_their_way = [this] { return capture_thread.render_thread.fields_for_recording(); };
  capture_extension = encoder.extension;
  encoder.pixel_format = encoder_pixel_format;
  encoder.frame_width = capture_width;
  capture_thread.encoder_pixel_format = encoder_pixel_format;
  capture_thread.encoder_bytes_per_pixel = encoder_bytes_per_pixel;
  capture_thread.width = capture_width;

  // The defaults first: the stored preferences take effect at the first stream.
  apply_preferences();

  capture_thread.brightness = 127;
  capture_thread.contrast = 63;
  capture_thread.saturation = 63;
  capture_thread.hue = 0;

  load_preferences();
  encoder.journal_directory = recording_journal::default_directory();
  create_menus();

  setWindowTitle("Ostrevin");

  display = new Lumo();
  connect(this, qOverload<QImage>(&ostrevin::frame_ready), display, &Lumo::display_image);
  setCentralWidget(display);
  display->show();
  create_notice();

  connect(&capture_thread, &easycap_thread::capture_device_not_found, this, &ostrevin::capture_device_not_found);
  connect(&capture_thread, &easycap_thread::capture_device_not_usb_2_0, this,
          &ostrevin::capture_device_not_usb_2_0);
  connect(&capture_thread, &easycap_thread::capture_device_unusable, this, &ostrevin::capture_device_unusable);
  connect(&capture_thread, &easycap_thread::easycap_audio_not_found, this, &ostrevin::set_easycap_audio_not_found);
  connect(&capture_thread, &easycap_thread::stream_state_changed, this, &ostrevin::stream_state_changed);

  qRegisterMetaType<QImage>("QImage");

  // One format for input, preview and recording: 48 kHz, stereo, signed
  // 16-bit little-endian samples, 4 bytes per frame.
  audio_format.setSampleRate(48000);
  audio_format.setChannelCount(2);
  audio_format.setSampleFormat(QAudioFormat::Int16);

  connect(&capture_thread, &easycap_thread::frame_ready_signal, this, qOverload<bool>(&ostrevin::frame_ready));
  connect(&capture_thread, &easycap_thread::easycap_streaming, this, &ostrevin::audio_start);
  connect(this, &ostrevin::change_channel, &capture_thread, &easycap_thread::set_input);
  connect(this, &ostrevin::set_standard, &capture_thread, &easycap_thread::set_standard);
  connect(&encoder, &encode::dropped_frames, this, &ostrevin::dropped_frames);
  connect(&encoder, &encode::recording_failed, this, &ostrevin::recording_failed);

  window_watch = std::make_unique<x_window_watch>(this);
  QCoreApplication::instance()->installNativeEventFilter(window_watch.get());

  frame_timer.start();
  capture_thread.start_capture();
  repair_unfinished_recordings();
}

ostrevin::~ostrevin() {
  QCoreApplication::instance()->removeNativeEventFilter(window_watch.get());
  // A recording still running (the event loop ended on a device error) is
  // finished first: the file gets its trailer.
  stop_encoding();
  // After a device error the event loop may end while the capture thread is
  // still winding down; a running thread must never be destroyed, and the
  // buffers it renders into must outlive it.
  if (capture_thread.isRunning()) capture_thread.request_close();
  // Also when it has already ended: waiting is what orders the threads'
  // last writes into the buffers before they are freed.
  capture_thread.wait();
  // A repair is let finish: a file cut in the middle of it would be worse.
  if (repair_thread) repair_thread->wait();
  release_audio();
}

void ostrevin::apply_preferences() {
  apply_always_on_top();
  easycap_render_thread& render = capture_thread.render_thread;
  render.display_f2 = preferences.display_f2;
  render.display_interlaced = preferences.display_interlaced;
  render.display_field_blended = preferences.display_field_blended;
  render.settings_changed = true;
  capture_thread.sixty_hz = preferences.sixty_hz;
  capture_thread.pal_60 = preferences.pal_60;
  capture_thread.s_video = preferences.s_video;
  capture_thread.height = preferences.sixty_hz ? 480 : 576;
  half_display_width = preferences.sixty_hz ? 320 : 384;
  capture_thread.half_display_width = half_display_width;
  if (preferences.sixty_hz)
    half_display_height = preferences.widescreen ? 180 : 240;
  else
    half_display_height = preferences.widescreen ? 216 : 288;
  capture_thread.half_display_height = half_display_height;
  field_lines = preferences.sixty_hz ? 240 : 288;
  encoder.sixty_hz = preferences.sixty_hz;
  encoder.widescreen = preferences.widescreen;
  encoder.field_lines = field_lines;
  display_width = half_display_width * 2;
  display_height = half_display_height * 2;
  resize_video_area(display_width, display_height);
}

void ostrevin::apply_always_on_top() {
  Qt::WindowFlags flags = windowFlags();
  if (preferences.always_on_top)
    flags |= Qt::WindowStaysOnTopHint;
  else
    flags &= ~Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  show();  // setWindowFlags hides a visible window
}

void ostrevin::resize_video_area(int width, int height) { resize(width, height + menu_bar_height); }

QString ostrevin::load_style_sheet() {
  QFile file("tessalin.css");
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) return QString();
  QTextStream stream(&file);
  QString text = stream.readAll();
  file.close();
  return text;
}

void ostrevin::device_error(const QString& text) {
  // Also in the log, for whoever started the program from a terminal.
  qWarning().noquote() << "Ostrevin:" << text;
  // The stick is gone or cannot be programmed: whatever was recorded so far
  // is finished into a complete file before anything else.
  stop_encoding();
  QMessageBox::critical(this, tr("Ostrevin"), text, QMessageBox::Ok, QMessageBox::NoButton);
  // The capture thread ends right after it reports; make sure it has before
  // the event loop unwinds and the window (and the thread object) goes away.
  capture_thread.request_close();
  capture_thread.wait();
  QCoreApplication::exit(close_unasked ? exit_code_on_close : 1);
}

void ostrevin::capture_device_not_found() {
  device_error(
      tr("Sorry, Ostrevin could not locate the EasyCap hardware attached to this computer. Please connect the "
         "hardware, then try again."));
}

void ostrevin::capture_device_not_usb_2_0() {
  device_error(
      tr("Sorry, the EasyCap must be plugged in to a USB 2.0 port. Please ensure that it is plugged in to a USB 2.0 "
         "(High Speed) port, then try again."));
}

void ostrevin::capture_device_unusable(easycap_thread::device_problem problem) {
  using problem_kind = easycap_thread::device_problem;
  QString text;
  switch (problem) {
    case problem_kind::no_permission:
      text = tr("Sorry, Ostrevin found the EasyCap but is not allowed to use it: this user may not open its USB "
                "device. Please install the udev rule that comes with Ostrevin (see \"Using a real stick on Linux\" "
                "in the README), unplug the EasyCap and plug it in again, then try again.");
      break;
    case problem_kind::in_use:
      text = tr("Sorry, the EasyCap is in use by another program. Please close the other program that shows or "
                "records its video, then try again.");
      break;
    case problem_kind::configuration_refused:
    case problem_kind::interface_refused:
      text = tr("Sorry, the EasyCap did not accept Ostrevin's request to use it. Please unplug it and plug it in "
                "again, then try again.");
      break;
    case problem_kind::streaming_refused:
      text = tr("Sorry, the EasyCap could not start its video stream: the USB port may not have enough bandwidth "
                "left. Please plug it in to another USB 2.0 (High Speed) port, or unplug other devices that share "
                "its port, then try again.");
      break;
  }
  device_error(text);
}

void ostrevin::dropped_frames(uint count) { dropped_frames_total += count; }

void ostrevin::set_easycap_audio_not_found() { easycap_audio_missing = true; }

void ostrevin::closeEvent(QCloseEvent* event) {
  if (closing) {  // already closed (a signal during the question)
    event->accept();
    return;
  }
  if (capturing && !close_unasked) {
    QMessageBox question(QMessageBox::Information, "Ostrevin", tr("Really close Ostrevin?"),
                         QMessageBox::Ok | QMessageBox::Cancel);
    question.setStyleSheet(load_style_sheet());
    const int answer = question.exec();
    if (closing) {
      event->accept();
      return;
    }
    if (answer != QMessageBox::Ok) {
      event->ignore();
      return;
    }
  }
  closing = true;
  event->accept();
  // The file is complete when this returns.
  stop_encoding();
  capture_thread.request_close();
  capture_thread.wait();
  QCoreApplication::exit(exit_code_on_close);
}

void ostrevin::close_for_signal(int signal_number) {
  if (close_unasked) return;  // the first one decides
  close_unasked = true;
  exit_code_on_close = termination_signals::exit_code(signal_number);
  qWarning().noquote() << "Ostrevin: ending on signal" << signal_number;
  // A question or a message that is open has no one to answer it.
  if (QWidget* modal = QApplication::activeModalWidget())
    if (modal != this) modal->close();
  close();
}

void ostrevin::window_destroyed() {
  if (close_unasked) return;
  close_unasked = true;
  qWarning().noquote() << "Ostrevin: the window was destroyed from outside; ending";
  if (QWidget* modal = QApplication::activeModalWidget())
    if (modal != this) modal->close();
  close();
}
