#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QSurfaceFormat>
#include <QTimer>

namespace {
// A test that closes its window while the application's event loop runs
// leaves the quit Qt posts for the last window closed behind; handled once
// that loop has ended, it marks the thread as quitting for good, and every
// dialog's and menu's event loop after it returns at once. Running the
// application's loop once more after each test takes such a quit and clears
// the mark (exec() starts and ends with it clear).
struct fresh_event_loop : ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo&) override {
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
  }
};
}  // namespace

int main(int argc, char** argv) {
  // Keep Mesa's software driver loaded until the process ends: it would be
  // unloaded with the last GL context, and LeakSanitizer could then no longer
  // name (nor the suppressions match) what the driver leaves behind at exit.
  dlopen("swrast_dri.so", RTLD_NOW | RTLD_NODELETE);
  dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_NOW | RTLD_NODELETE);
  // OSTREVIN_TEST_GL: the OpenGL every window gets. "core": a 3.2 core
  // profile, "es2": OpenGL ES 2.0 (with QT_XCB_GL_INTEGRATION=xcb_egl);
  // unset: what the system gives (Mesa: a compatibility profile).
  const QByteArray api = qgetenv("OSTREVIN_TEST_GL");
  if (!api.isEmpty()) {
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    if (api == "core") {
      format.setRenderableType(QSurfaceFormat::OpenGL);
      format.setVersion(3, 2);
      format.setProfile(QSurfaceFormat::CoreProfile);
    } else if (api == "es2") {
      format.setRenderableType(QSurfaceFormat::OpenGLES);
      format.setVersion(2, 0);
    }
    QSurfaceFormat::setDefaultFormat(format);
  }
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new fresh_event_loop);
  return RUN_ALL_TESTS();
}
