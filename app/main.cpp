#include <QApplication>

#include "app/ostrevin.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  ostrevin window;
  window.show();
  return application.exec();
}
