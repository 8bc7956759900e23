#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

#include "app/full_screen.h"
#include "app/main_menus.h"
#include "app/notice_line.h"
#include "app/picture_dialog.h"
#include "app/picture_saver.h"
#include "app/sound_meters.h"
#include "app/termination_signals.h"
#include "app/x_window_watch.h"
#include "base/logging.h"
#include "record/recording_journal.h"
#include "render/video_widget.h"

namespace {
// Height of the menu bar row that the window adds to the video area (the
// sound meters' row under it adds its own).
constexpr int menu_bar_height = 20;
constexpr int recording_pixel_format = 4;  // FFmpeg's planar YUV 4:2:2

QString device_problem_text(capture_thread::device_problem problem) {
  using problem_kind = capture_thread::device_problem;
  switch (problem) {
    case problem_kind::no_permission:
      return QObject::tr(
          "Sorry, Ostrevin found the EasyCap but is not allowed to use it: this user may not open its USB "
          "device. Please install the udev rule that comes with Ostrevin (see \"Using a real stick on Linux\" "
          "in the README), unplug the EasyCap and plug it in again, then try again.");
    case problem_kind::in_use:
      return QObject::tr(
          "Sorry, the EasyCap is in use by another program. Please close the other program that shows or "
          "records its video, then try again.");
    case problem_kind::configuration_refused:
    case problem_kind::interface_refused:
      return QObject::tr(
          "Sorry, the EasyCap did not accept Ostrevin's request to use it. Please unplug it and plug it in "
          "again, then try again.");
    case problem_kind::streaming_refused:
      return QObject::tr(
          "Sorry, the EasyCap could not start its video stream: the USB port may not have enough bandwidth "
          "left. Please plug it in to another USB 2.0 (High Speed) port, or unplug other devices that share "
          "its port, then try again.");
  }
  return QString();
}
}  // namespace

QString load_style_sheet() {
  QFile file("tessalin.css");
  if (!file.exists() || !file.open(QIODevice::ReadOnly)) return QString();
  QTextStream stream(&file);
  return stream.readAll();
}

main_window::main_window(capture_pipeline& parts, const launch_options& options, QWidget* parent)
    : QMainWindow(parent),
      parts_(parts),
      capture_(parts.capture),
      render_(parts.render),
      recording_(parts.recording),
      sound_(parts.sound),
      preferences_(options) {
  recording_.set_stop_after_ms(options.stop_after_ms);
  signal_watch_.set_stop_without_signal_ms(options.stop_without_signal_ms);
  ::recording_settings& next = recording_.next_settings();
  next.extension = ".avi";
  next.keep_time = true;  // the stick is live: its time is the recording's
  next.pixel_format = recording_pixel_format;
  next.frame_width = capture_settings::line_pixels;
  next.journal_directory = recording_journal::default_directory();

  // The defaults first: the stored preferences take effect at the first stream.
  apply_preferences();
  preferences_.load();

  setWindowTitle("Ostrevin");
  // The picture, and the sound meters in a row of their own under it.
  auto* picture_and_meters = new QWidget;
  auto* column = new QVBoxLayout(picture_and_meters);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  display_ = new video_widget();
  column->addWidget(display_, 1);
  auto* meters = new sound_meters;
  column->addWidget(meters);
  setCentralWidget(picture_and_meters);
  // What the recorder takes, muted preview or not.
  connect(&sound_, &sound_preview::sound_captured, meters, &sound_meters::take_sound);
  notice_ = new notice_line(display_);
  menus_ = new main_menus(this, preferences_.current(), sound_.is_muted());
  full_screen_ = new full_screen(this, display_, {meters}, menus_->full_screen_item());
  picture_saver_ = new picture_saver(this);
  status_timer_ = new QTimer(this);
  status_timer_->setInterval(500);
  connect(status_timer_, &QTimer::timeout, this, &main_window::show_recording_status);
  connect_parts();
  connect_menus();

  if (options.channel) capture_.set_input(*options.channel);
  if (!options.record_file.isEmpty()) {
    record_on_stream_ = true;
    QString name = options.record_file;
    if (name.endsWith(next.extension, Qt::CaseInsensitive)) name.chop(next.extension.size());
    next.base_name = name;
    menus_->set_recording(false, true);
  }

  window_watch_ = std::make_unique<x_window_watch>(
      this, [this] { close_unasked(-1, "the window was destroyed from outside; ending"); });
  parts_.display.show_in(this);
  capture_.start_capture();
  repair_.start_if_any(next.journal_directory);
}

main_window::~main_window() {
  window_watch_.reset();
  // A recording still running (the event loop ended on a device error) is
  // finished first: the file gets its trailer.
  stop_recording();
  parts_.display.show_in(nullptr);
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

void main_window::connect_parts() {
  connect(&capture_, &capture_thread::capture_device_not_found, this, [this] {
    device_error(
        tr("Sorry, Ostrevin could not locate the EasyCap hardware attached to this computer. Please connect the "
           "hardware, then try again."));
  });
  connect(&capture_, &capture_thread::capture_device_not_usb_2_0, this, [this] {
    device_error(
        tr("Sorry, the EasyCap must be plugged in to a USB 2.0 port. Please ensure that it is plugged in to a USB "
           "2.0 (High Speed) port, then try again."));
  });
  connect(&capture_, &capture_thread::capture_device_unusable, this,
          [this](capture_thread::device_problem problem) { device_error(device_problem_text(problem)); });
  connect(&capture_, &capture_thread::easycap_audio_not_found, &sound_, &sound_preview::stick_has_no_sound);
  connect(this, &main_window::set_standard, &capture_, &capture_thread::set_standard);
  connect(this, &main_window::change_channel, &capture_, &capture_thread::set_input);
  connect(&capture_, &capture_thread::stream_state_changed, this, &main_window::stream_state_changed);
  connect(&capture_, &capture_thread::signal_changed, &signal_watch_, &signal_watch::signal_changed);
  connect(&signal_watch_, &signal_watch::changed, this, &main_window::show_signal);
  connect(&signal_watch_, &signal_watch::stop_asked, this, [this](int64_t without_signal_ms) {
    const QString held = format_duration(without_signal_ms);
    end_recording_because(tr("there has been no signal for %1").arg(held),
                          tr("Ostrevin - recording stopped: no signal for %1").arg(held));
  });
  // After the capture thread has taken the channel: the notice names it.
  connect(this, &main_window::change_channel, this,
          [this] { signal_watch_.set_capture(current_capture_, capture_.channel_chosen() ? capture_.channel() : -1); });
  connect(notice_, &notice_line::standard_offered, menus_, &main_menus::choose_standard);
  connect(&capture_, &capture_thread::easycap_streaming, this, &main_window::stream_started);
  connect(&parts_.display, &display_feed::picture_ready, display_, &video_widget::display_picture);
  connect(&render_, &render_thread::field_rendered, this, [this] {
    if (!record_at_next_field_ || closing_) return;
    record_at_next_field_ = false;
    start_recording();
  });
  connect(&sound_, &sound_preview::stick_sound_missing, this, [this] {
    preferences_.stick_has_no_sound();
    menus_->stick_has_no_sound();
  });
  connect(&sound_, &sound_preview::format_not_supported, this, [this] {
    QMessageBox::critical(this, tr("Ostrevin"), tr("audio format not supported"), QMessageBox::Ok,
                          QMessageBox::NoButton);
  });
  connect(&sound_, &sound_preview::mute_changed, menus_, &main_menus::set_muted);
  connect(&recording_, &recording_controller::ended, this, &main_window::recording_ended);
  connect(&repair_, &recording_repair::told, this, [this](const QString& text) {
    // The notice belongs to the recording while one runs.
    if (!recording_.is_recording()) notice_->set_recording_for_a_minute(text);
  });
}

void main_window::connect_menus() {
  // Each choice the menus make: stored when it changed something.
  auto chosen = [this](bool changed, auto&& act) {
    if (!changed) return;
    apply_preferences();
    act();
    save_preferences();
  };
  connect(menus_, &main_menus::standard_chosen, this, [this, chosen](video_standard standard) {
    chosen(preferences_.choose_standard(standard), [this] { emit set_standard(); });
  });
  connect(menus_, &main_menus::s_video_chosen, this, [this, chosen](bool s_video) {
    // S-Video on channel 0, Composite on 2.
    chosen(preferences_.choose_s_video(s_video), [this, s_video] { emit change_channel(s_video ? 0 : 2); });
  });
  connect(menus_, &main_menus::widescreen_chosen, this, [this, chosen](bool widescreen) {
    chosen(preferences_.choose_widescreen(widescreen), [this] { emit set_standard(); });
  });
  connect(menus_, &main_menus::display_mode_chosen, this,
          [this, chosen](display_mode mode) { chosen(preferences_.choose_display_mode(mode), [] {}); });
  connect(menus_, &main_menus::channel_chosen, this, &main_window::change_channel);
  connect(menus_, &main_menus::stick_sound_chosen, this, [this](bool from_stick) {
    if (!preferences_.choose_stick_sound(from_stick)) return;
    sound_.stop_input();
    stream_started();
    save_preferences();
  });
  connect(menus_, &main_menus::always_on_top_chosen, this, [this](bool on_top) {
    if (!preferences_.choose_always_on_top(on_top)) return;
    apply_always_on_top();  // the size stays as it is
    save_preferences();
  });
  connect(menus_, &main_menus::scale_chosen, this, &main_window::resize_video_area);
  connect(menus_, &main_menus::picture_asked, this, &main_window::show_picture_dialog);
  connect(menus_, &main_menus::mute_toggled, &sound_, &sound_preview::toggle_mute);
  connect(menus_, &main_menus::capture_file_asked, this, &main_window::ask_capture_file);
  connect(menus_, &main_menus::stop_after_asked, this, &main_window::ask_stop_after);
  connect(menus_, &main_menus::record_asked, this, &main_window::start_recording);
  connect(menus_, &main_menus::stop_asked, this, [this] {
    const QString account = stop_recording();
    if (!account.isEmpty()) notice_->set_recording_for_a_minute(account);
  });
  connect(display_, &video_widget::double_clicked, full_screen_, &full_screen::toggle);
  connect(menus_, &main_menus::save_picture_asked, this, [this] {
    // The bytes on screen, converted on the writer's thread straight to the
    // file's size, as the display would show them in a window of that size.
    std::vector<unsigned char> bytes;
    picture_info info;
    parts_.display.copy_shown(bytes, info);
    picture_saver_->save(std::move(bytes), info,
                         picture_saver::size_for(current_capture_.sixty_hz(), current_capture_.widescreen),
                         picture_saver::folder_for(recording_.next_settings().base_name));
  });
  connect(picture_saver_, &picture_saver::saved, this, [this](const QString& path) {
    const QString text = tr("Picture saved as %1").arg(QDir::toNativeSeparators(path));
    qCInfo(app_log).noquote() << "Ostrevin:" << text;
    notice_->set_note(text);
  });
  connect(picture_saver_, &picture_saver::failed, this, [this](const QString& why) {
    const QString text = tr("The picture was not saved: %1.").arg(why);
    qCWarning(app_log).noquote() << "Ostrevin:" << text;
    notice_->set_note(text);
  });
  connect(menus_, &main_menus::about_asked, this, [this] {
    QMessageBox::about(this, tr("About Ostrevin"),
                       tr("<p><i>\"This is such a wonderful experience here with the Buddhist.\"</i></p>"
                          "<p>&nbsp;</p>"
                          "<p><b><u>Legal information</u></b></p>"
                          "<p>This software uses libraries from the <a href=\"https://ffmpeg.org\">FFmpeg project</a> "
                          "under the <a href=\"https://www.gnu.org/licenses/lgpl-3.0.html\">LGPLv3.0</a>.</p>"));
  });
}

void main_window::apply_preferences() {
  apply_always_on_top();
  render_.set_display_mode(preferences_.mode());
  current_capture_ = preferences_.capture(capture_.settings());
  capture_.set_settings(current_capture_);
  signal_watch_.set_capture(current_capture_, capture_.channel_chosen() ? capture_.channel() : -1);
  ::recording_settings& next = recording_.next_settings();
  next.widescreen = current_capture_.widescreen;
  next.field_lines = current_capture_.field_lines();
  if (display_)
    display_->set_display_aspect(double(current_capture_.half_display_width()) /
                                 current_capture_.half_display_height());
  resize_video_area(1.0);
  // Another input has picture controls of its own.
  if (picture_) picture_->show_controls(current_capture_.picture);
}

void main_window::show_picture_dialog() {
  if (!picture_) {
    picture_ = new picture_dialog(this);
    connect(picture_, &picture_dialog::changed, this, [this](const picture_controls& controls) {
      if (!preferences_.choose_picture(controls)) return;
      // Between the stick's reaps: no programming pass, no field lost.
      capture_.set_picture(preferences_.picture());
      current_capture_.picture = preferences_.picture();
      picture_unsaved_ = true;
    });
    connect(picture_, &QDialog::finished, this, [this] {
      if (picture_unsaved_) save_preferences();
    });
  }
  picture_->show_controls(preferences_.picture());
  picture_->show();
  picture_->raise();
  picture_->activateWindow();
}

void main_window::show_signal() {
  notice_->set_signal(signal_watch_.text(), signal_watch_.offers(), !recording_.is_recording());
}

void main_window::apply_always_on_top() {
  Qt::WindowFlags flags = windowFlags();
  if (preferences_.current().always_on_top)
    flags |= Qt::WindowStaysOnTopHint;
  else
    flags &= ~Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  show();  // setWindowFlags hides a visible window
}

void main_window::resize_video_area(double scale) {
  // A scale is not stored: the next apply_preferences() returns the window to 100 %.
  const QSize size(
      int(scale * current_capture_.half_display_width() * 2),
      int(scale * current_capture_.half_display_height() * 2) + menu_bar_height + sound_meters::fixed_height);
  // In full screen the size waits for its end.
  if (full_screen_ && full_screen_->hold_size(size)) return;
  resize(size);
}

void main_window::save_preferences() {
  QString why = preferences_.save();
  if (why.isEmpty()) why = preferences_.save_picture();
  picture_unsaved_ = false;
  if (why.isEmpty()) return;
  QMessageBox::critical(this, tr("Save Preferences Error"),
                        tr("There was an error saving the preferences file: %1").arg(why), QMessageBox::Ok,
                        QMessageBox::NoButton);
}

void main_window::stream_started() {
  // A report the capture thread sent before the close asked it to end: the
  // window neither shows itself again nor starts the sound.
  if (closing_) return;
  // The first stream: the stick runs, so the stored format, window size and
  // stay-on-top hint take effect, and the stick is programmed for them.
  if (first_stream_pending_) {
    first_stream_pending_ = false;
    apply_preferences();
    emit set_standard();  // a new streaming run follows, programmed for them
  } else if (record_on_stream_) {
    // --record: the stick streams as the preferences ask; the recording
    // starts with its first field (the render thread runs by then).
    record_on_stream_ = false;
    record_at_next_field_ = true;
  }
  // The capture thread has opened the stick by now (or is about to: then its
  // identity is the one every stick reports).
  sound_.start(capture_.identity(), preferences_.current().easycap_audio);
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
  if (!close_unasked_) exit_code_on_close_ = 1;
  QMessageBox::critical(this, tr("Ostrevin"), text, QMessageBox::Ok, QMessageBox::NoButton);
  // The capture thread ends right after it reports; make sure it has before
  // the event loop unwinds and the window (and the thread object) goes away.
  capture_.request_close();
  capture_.wait();
  end_event_loop(exit_code_on_close_);
}

void main_window::end_event_loop(int code) {
  if (chosen_exit_code_ < 0) chosen_exit_code_ = code;
  QCoreApplication::exit(chosen_exit_code_);
}

void main_window::closeEvent(QCloseEvent* event) {
  if (closing_) {  // already closed (a signal during the question)
    event->accept();
    return;
  }
  if (recording_.is_recording() && !close_unasked_) {
    QMessageBox question(QMessageBox::Information, "Ostrevin", tr("Really close Ostrevin?"),
                         QMessageBox::Ok | QMessageBox::Cancel);
    question.setStyleSheet(load_style_sheet());
    const int answer = question.exec();
    if (closing_) {
      event->accept();
      return;
    }
    // A signal (or the window destroyed) during the question closed it: the
    // close goes on as that asked, with its exit code. The window is in this
    // close already, so the close() that asked it comes to nothing.
    if (answer != QMessageBox::Ok && !close_unasked_) {
      event->ignore();
      return;
    }
  }
  closing_ = true;
  if (picture_unsaved_) save_preferences();
  parts_.display.stop();
  sound_.stop_reading();
  event->accept();
  // The file is complete when this returns.
  stop_recording();
  capture_.request_close();
  capture_.wait();
  end_event_loop(exit_code_on_close_);
}

void main_window::close_for_signal(int signal_number) {
  close_unasked(termination_signals::exit_code(signal_number), QString("ending on signal %1").arg(signal_number));
}

void main_window::close_unasked(int code, const QString& why) {
  if (close_unasked_) return;  // the first one decides
  close_unasked_ = true;
  if (code >= 0) exit_code_on_close_ = code;
  qCWarning(app_log).noquote() << "Ostrevin:" << why;
  // A question or a message that is open has no one to answer it.
  if (QWidget* modal = QApplication::activeModalWidget())
    if (modal != this) modal->close();
  close();
}
