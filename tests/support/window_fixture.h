// A main window on the in-process virtual stick, with its own data
// directory, for tests that drive the window through its menus; and the
// pieces of it that tests with windows of their own use.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "app/sound_meters.h"
#include "sim/in_process_backend.h"
#include "sim/test_pattern.h"

// The USB backend capture threads made from now on use (a window's among
// them), for as long as this lives; then the one before again.
class scoped_usb_backend {
 public:
  explicit scoped_usb_backend(usb_backend* backend) : previous_(default_usb_backend()) {
    set_default_usb_backend(backend);
  }
  ~scoped_usb_backend() { set_default_usb_backend(previous_); }
  scoped_usb_backend(const scoped_usb_backend&) = delete;
  scoped_usb_backend& operator=(const scoped_usb_backend&) = delete;

 private:
  usb_backend* previous_;
};

// XDG_DATA_HOME, under which the window keeps its preferences file, pointed
// at a directory of the test's own for as long as this lives; then put back
// as it was.
class scoped_data_home {
 public:
  explicit scoped_data_home(const QString& path)
      : had_(qEnvironmentVariableIsSet("XDG_DATA_HOME")), old_(qgetenv("XDG_DATA_HOME")) {
    set(path);
  }
  ~scoped_data_home() {
    if (had_)
      qputenv("XDG_DATA_HOME", old_);
    else
      qunsetenv("XDG_DATA_HOME");
  }
  scoped_data_home(const scoped_data_home&) = delete;
  scoped_data_home& operator=(const scoped_data_home&) = delete;

  // Another directory from now on (it need not exist).
  void set(const QString& path) {
    path_ = path;
    qputenv("XDG_DATA_HOME", QFile::encodeName(path));
  }
  QString data_dir() const { return path_ + "/ostrevin"; }
  QString preferences_file() const { return data_dir() + "/ostrevin_preferences"; }
  // The nine preference bytes, in file order (or any others).
  void store(const QByteArray& bytes) const {
    ASSERT_TRUE(QDir().mkpath(data_dir()));
    QFile file(preferences_file());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
  }
  QByteArray stored() const {
    QFile file(preferences_file());
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll();
  }

 private:
  bool had_;
  QByteArray old_;
  QString path_;
};

// The action `text` in the menu titled `menu` of the window's menu bar.
inline QAction* menu_action(main_window& window, const QString& menu, const QString& text) {
  for (QAction* top : window.menuBar()->actions())
    if (top->text() == menu && top->menu())
      for (QAction* action : top->menu()->actions())
        if (action->text() == text) return action;
  ADD_FAILURE() << "no action " << text.toStdString() << " in " << menu.toStdString();
  return nullptr;
}

// A window's size as it was before the sound meters, with their row under
// the picture added.
inline QSize with_meters(QSize window) { return window + QSize(0, sound_meters::fixed_height); }

// What the notice over the window's picture says; empty while it is hidden.
inline QString notice_text(const main_window& window) {
  const auto* notice = window.findChild<const QLabel*>("notice");
  return notice && notice->isVisible() ? notice->text() : QString();
}

// The test pattern's colour bars at their centres, a third of the way down
// `image` (a picture of the stick's whole frame, at any size).
inline ::testing::AssertionResult shows_test_pattern_bars(const QImage& image, int tolerance = 12) {
  const int y = image.height() / 3;
  for (int bar = 0; bar < test_pattern::bar_count; ++bar) {
    const int x = (2 * bar + 1) * image.width() / 16;
    const QRgb got = image.pixel(x, y);
    const test_pattern::rgb& want = test_pattern::bars_rgb[bar];
    if (std::max({std::abs(qRed(got) - want.r), std::abs(qGreen(got) - want.g), std::abs(qBlue(got) - want.b)}) >
        tolerance)
      return ::testing::AssertionFailure() << "bar " << bar << " at " << x << "," << y << " is " << qRed(got) << ","
                                           << qGreen(got) << "," << qBlue(got);
  }
  return ::testing::AssertionSuccess();
}

// Runs `act` on the next modal dialog of type T once it is shown.
template <typename T>
void on_next_modal(std::function<void(T*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(20);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      act(dialog);
    }
  });
  timer->start();
}

struct window_fixture : ::testing::Test {
  in_process_backend backend;
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  QTemporaryDir home;
  scoped_data_home data_home{home.path()};
  scoped_usb_backend backend_in_use{&backend};
  // The parts the window shows and asks; they outlive it.
  std::unique_ptr<capture_pipeline> parts;
  std::unique_ptr<main_window> window;
  // Paced: the stick delivers fields at the standard's real rate.
  bool paced = true;

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    backend.set_paced(paced);
    backend.add(stick);
  }
  void TearDown() override {
    stick->release_hold();
    window.reset();
    parts.reset();
  }

  QString file_path() const { return data_home.preferences_file(); }
  void store(const QByteArray& bytes) { data_home.store(bytes); }
  QByteArray stored() const { return data_home.stored(); }

  QAction* menu_item(const QString& menu_title, const QString& text) { return menu_action(*window, menu_title, text); }

  // File -> Set capture file ..., with `path` picked in the dialog; returns
  // what the dialog offered.
  struct dialog_seen {
    QString title, filter, directory;
    bool confirms_overwrite = true;
    bool save = false;
  };
  dialog_seen choose_capture_file(const QString& path) {
    dialog_seen seen;
    on_next_modal<QFileDialog>([&seen, path](QFileDialog* dialog) {
      seen.title = dialog->windowTitle();
      seen.filter = dialog->nameFilters().join(";");
      seen.directory = dialog->directory().absolutePath();
      seen.confirms_overwrite = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
      seen.save = dialog->acceptMode() == QFileDialog::AcceptSave;
      // As a person would: type the name, then accept.
      auto* name_edit = dialog->findChild<QLineEdit*>("fileNameEdit");
      if (name_edit)
        name_edit->setText(path);
      else
        dialog->selectFile(path);
      static_cast<QDialog*>(dialog)->accept();
    });
    menu_item("&File", "Set capture &file ...")->trigger();
    return seen;
  }

  // `options`: what the command line asked of this run.
  void open_window(const launch_options& options = {}) {
    window.reset();
    parts = std::make_unique<capture_pipeline>();
    window = std::make_unique<main_window>(*parts, options);
    window->show();
  }

  // The window, once fields come from the stick.
  void open_streaming(const launch_options& options = {}) {
    open_window(options);
    ASSERT_TRUE(QTest::qWaitFor([&] { return parts->capture.assembled_fields() > 10; }, 10000));
  }
};

// The same with a folder for the recordings.
struct recording_window_fixture : window_fixture {
  QTemporaryDir captures;

  void SetUp() override {
    window_fixture::SetUp();
    ASSERT_TRUE(captures.isValid());
  }

  // File -> Set capture file ... with `name`, then File -> Capture.
  void start_recording(const QString& name) {
    choose_capture_file(name);
    menu_item("&File", "&Capture")->trigger();
    ASSERT_TRUE(parts->recording.is_recording());
  }
};
