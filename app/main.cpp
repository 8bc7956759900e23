#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QIcon>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/command_line.h"
#include "app/debug_console.h"
#include "app/main_window.h"
#include "app/termination_signals.h"
#include "record/avi_repair.h"
#include "record/recording_journal.h"

namespace {

// ostrevin --repair FILE: a recording that did not end normally, made whole
// in place, without the window. Exit code 0: the file is whole now; 3: it
// holds no whole frame, nothing to keep, and it is left as it was; 1: it
// cannot be repaired.
int repair_from_command_line(int argc, char** argv, const QString& path) {
  QCoreApplication application(argc, argv);
  const QByteArray shown = path.toLocal8Bit();
  const avi_repair_result result = repair_avi(path);
  if (result.nothing_to_keep) {
    recording_journal::forget(recording_journal::default_directory(), path);
    std::fprintf(stderr, "ostrevin: %s holds no whole frame (%s): nothing to keep, the file is left as it was\n",
                 shown.constData(), qPrintable(result.error));
    return 3;
  }
  if (!result.ok) {
    std::fprintf(stderr, "ostrevin: %s cannot be repaired: %s\n", shown.constData(), qPrintable(result.error));
    return 1;
  }
  recording_journal::forget(recording_journal::default_directory(), path);
  if (result.was_whole) {
    std::printf("%s is whole: %s\n", shown.constData(), qPrintable(describe_repaired_length(result)));
    return 0;
  }
  const QString damage = describe_damage(result);
  std::printf("%s repaired: %s kept, %lld bytes of a torn end cut%s\n", shown.constData(),
              qPrintable(describe_repaired_length(result)), static_cast<long long>(result.bytes_cut),
              damage.isEmpty() ? "" : qPrintable("; " + damage));
  return 0;
}

// When the display connection breaks (the X server died, the client was
// killed with xkill, some logouts), Qt's X11 plugin says "The X11 connection
// broke ..." and ends the process with exit(1) right away, on whichever
// thread noticed: no event loop runs again and no close sequence. The
// message is the last moment everything is still in place, so the
// recording is finished there, synchronously, and the program ends with
// display_lost_exit_code. Whatever else ends the process through exit()
// while the window exists meets the same finish in an exit handler.
constexpr int display_lost_exit_code = 1;
std::atomic<main_window*> window_to_finish{nullptr};
std::atomic<bool> finishing{false};
QtMessageHandler handler_before = nullptr;

// Finishes what runs; false when another thread does already (it ends the
// process).
bool finish_before_the_end(const char* why) {
  if (finishing.exchange(true)) return false;
  main_window* window = window_to_finish.exchange(nullptr);
  const QString file = window ? window->finish_for_exit() : QString();
  if (!file.isEmpty())
    std::fprintf(stderr, "ostrevin: %s; the recording %s was finished, whole\n", why,
                 QFile::encodeName(file).constData());
  else
    std::fprintf(stderr, "ostrevin: %s\n", why);
  std::fflush(nullptr);
  return true;
}

void watch_for_display_loss(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (handler_before) handler_before(type, context, message);
  if (!message.startsWith(QLatin1String("The X11 connection broke"))) return;
  if (!finish_before_the_end("the display connection was lost")) {
    // Another thread finishes the recording and ends the process.
    for (;;) ::pause();
  }
  ::_exit(display_lost_exit_code);
}

void finish_at_exit() {
  // A recording being finished on another thread (the display connection
  // broke there too) ends the process when it is done.
  if (finishing.load())
    for (;;) ::pause();
  // Only while the window exists: main() takes it out before it returns.
  if (window_to_finish.load() == nullptr) return;
  finish_before_the_end("ending without closing the window");
}

}  // namespace

int main(int argc, char** argv) {
  // The program's name, whatever the executable is called: the help, the
  // version, and where the preferences are kept.
  QCoreApplication::setApplicationName("ostrevin");
  QCoreApplication::setApplicationVersion(OSTREVIN_VERSION);
  // Read before any application object: --help and --version need no display.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const command_line_result command = parse_command_line(arguments);
  switch (command.what) {
    case command_line_result::outcome::exit_success:
      std::fputs(command.text.toLocal8Bit().constData(), stdout);
      return 0;
    case command_line_result::outcome::bad_usage:
      std::fputs(command.text.toLocal8Bit().constData(), stderr);
      return 2;
    case command_line_result::outcome::run:
      break;
  }
  if (!command.options.repair_file.isEmpty()) return repair_from_command_line(argc, argv, command.options.repair_file);

  // Before the application object: it opens the display connection.
  handler_before = qInstallMessageHandler(watch_for_display_loss);
  QApplication application(argc, argv);
  // The desktop entry and icon the package installs, under the app id.
  QGuiApplication::setDesktopFileName("io.github.ostrevin.Ostrevin");
  QApplication::setWindowIcon(QIcon::fromTheme("io.github.ostrevin.Ostrevin"));
  // Before the window: a signal during start-up waits in the pipe.
  termination_signals signals_to_end;
  // The threads and the recording beside the window, which only shows them
  // and asks them; they outlive it.
  // --debug: the console on screen, fed every debug line, from before the
  // threads start until after they end.
  std::unique_ptr<debug_console> console;
  if (command.options.debug) {
    console = std::make_unique<debug_console>();
    console->show_text = true;
    console->flush_each_line = true;
    console->open_log();
    console->feed_from_log();
    console->show();
  }
  capture_pipeline parts;
  main_window window(parts, command.options);
  QObject::connect(&signals_to_end, &termination_signals::received, &window, &main_window::close_for_signal);
  window.show();
  window_to_finish = &window;
  std::atexit(finish_at_exit);
  const int code = application.exec();
  window_to_finish = nullptr;
  return window.exit_code(code);
}
