#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "app/main_window.h"
#include "app/termination_signals.h"
#include "record/avi_repair.h"
#include "record/recording_journal.h"

namespace {

// ostrevin --repair FILE: a recording that did not end normally, made whole
// in place, without the window.
int repair_from_command_line(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QString path = QString::fromLocal8Bit(argv[2]);
  const avi_repair_result result = repair_avi(path);
  if (!result.ok) {
    std::fprintf(stderr, "ostrevin: %s cannot be repaired: %s\n", argv[2], qPrintable(result.error));
    return 1;
  }
  recording_journal::forget(recording_journal::default_directory(), path);
  if (result.was_whole)
    std::printf("%s is whole: %s\n", argv[2], qPrintable(describe_repaired_length(result)));
  else
    std::printf("%s repaired: %s kept, %lld bytes of a torn end cut\n", argv[2],
                qPrintable(describe_repaired_length(result)), static_cast<long long>(result.bytes_cut));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--repair") == 0) {
    if (argc != 3) {
      std::fprintf(stderr, "usage: ostrevin --repair FILE\n");
      return 2;
    }
    return repair_from_command_line(argc, argv);
  }
  QApplication application(argc, argv);
  // Before the window: a signal during start-up waits in the pipe.
  termination_signals signals_to_end;
  main_window window;
  QObject::connect(&signals_to_end, &termination_signals::received, &window, &main_window::close_for_signal);
  window.show();
  return application.exec();
}
