#include <QApplication>

#include "app/ostrevin.h"
#include "app/termination_signals.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // Before the window: a signal during start-up waits in the pipe.
  termination_signals signals_to_end;
  ostrevin window;
  QObject::connect(&signals_to_end, &termination_signals::received, &window, &ostrevin::close_for_signal);
  window.show();
  return application.exec();
}
