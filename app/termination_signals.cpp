#include "app/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP, SIGXFSZ};
// The write end of the current instance's pipe, for the handler.
std::atomic<int> write_end{-1};

void on_signal(int signal_number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal_number);
  const int fd = write_end.load(std::memory_order_relaxed);
  if (fd >= 0) (void)::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

termination_signals::termination_signals(QObject* parent) : QObject(parent) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) pipe_[0] = pipe_[1] = -1;
  write_end.store(pipe_[1], std::memory_order_relaxed);
  for (size_t i = 0; i < std::size(handled); ++i) {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = handled[i] == SIGXFSZ ? SIG_IGN : on_signal;
    sigaction(handled[i], &action, &previous_[i]);
  }
  if (pipe_[0] >= 0) {
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &termination_signals::read_pipe);
  }
}

termination_signals::~termination_signals() {
  for (size_t i = 0; i < std::size(handled); ++i) sigaction(handled[i], &previous_[i], nullptr);
  write_end.store(-1, std::memory_order_relaxed);
  delete notifier_;
  for (int fd : pipe_)
    if (fd >= 0) ::close(fd);
}

void termination_signals::read_pipe() {
  unsigned char bytes[16];
  ssize_t n;
  while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0)
    for (ssize_t i = 0; i < n; ++i) emit received(bytes[i]);
}
