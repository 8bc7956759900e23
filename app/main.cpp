#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <cstdio>

#include "app/command_line.h"
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

  QApplication application(argc, argv);
  // The desktop entry and icon the package installs, under the app id.
  QGuiApplication::setDesktopFileName("io.github.ostrevin.Ostrevin");
  QApplication::setWindowIcon(QIcon::fromTheme("io.github.ostrevin.Ostrevin"));
  // Before the window: a signal during start-up waits in the pipe.
  termination_signals signals_to_end;
  main_window window(command.options);
  QObject::connect(&signals_to_end, &termination_signals::received, &window, &main_window::close_for_signal);
  window.show();
  return application.exec();
}
