// A main window on the in-process virtual stick, with its own data
// directory, for tests that drive the window through its menus.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <memory>

#include "app/main_window.h"
#include "sim/in_process_backend.h"

struct window_fixture : ::testing::Test {
  in_process_backend backend;
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  usb_backend* previous = nullptr;
  QTemporaryDir home;
  QByteArray old_xdg;
  bool had_xdg = false;
  std::unique_ptr<main_window> window;
  // Paced: the stick delivers fields at the standard's real rate.
  bool paced = true;

  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    had_xdg = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    old_xdg = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    backend.set_paced(paced);
    backend.add(stick);
    previous = default_usb_backend();
    set_default_usb_backend(&backend);
  }
  void TearDown() override {
    stick->release_hold();
    window.reset();
    if (previous) set_default_usb_backend(previous);
    if (had_xdg)
      qputenv("XDG_DATA_HOME", old_xdg);
    else
      qunsetenv("XDG_DATA_HOME");
  }

  QString file_path() const {
    return home.path() + "/" + QCoreApplication::applicationName() + "/ostrevin_preferences";
  }
  // The nine preference bytes, in file order.
  void store(const QByteArray& bytes) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file_path()).path()));
    QFile file(file_path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
  }
  QByteArray stored() const {
    QFile file(file_path());
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    return file.readAll();
  }

  QAction* menu_item(const QString& menu_title, const QString& text) {
    for (QAction* m : window->menuBar()->actions())
      if (m->text() == menu_title && m->menu())
        for (QAction* a : m->menu()->actions())
          if (a->text() == text) return a;
    ADD_FAILURE() << "no action " << text.toStdString();
    return nullptr;
  }

  void open_window() {
    window = std::make_unique<main_window>();
    window->show();
  }
};
