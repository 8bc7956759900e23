// A program that uses the capture layer alone: its link line is the capture
// library's (see check_capture_links.cmake).
#include "capture/capture_thread.h"

int main() {
  capture_thread thread;
  return thread.isRunning() ? 1 : 0;
}
