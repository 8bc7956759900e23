#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // Keep Mesa's software driver loaded until the process ends: it would be
  // unloaded with the last GL context, and LeakSanitizer could then no longer
  // name (nor the suppressions match) what the driver leaves behind at exit.
  dlopen("swrast_dri.so", RTLD_NOW | RTLD_NODELETE);
  dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_NOW | RTLD_NODELETE);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
