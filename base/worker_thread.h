// The program's threads (capture, render, recorder): a QThread with a name
// the system shows (top -H, gdb, perf) and a wait() after which everything
// the thread did is visible to the waiter.
//
// QThread::wait() synchronises inside Qt, which ThreadSanitizer cannot see
// (Qt is not built with it): when the thread had already finished, wait()
// returns on a bare futex check. A release store as the thread's work ends
// and an acquire load after wait() give the same guarantee in a form it can
// see. Subclasses put their loop in work(); run() wraps it.
#pragma once

#include <QDeadlineTimer>
#include <QThread>
#include <atomic>

class worker_thread : public QThread {
 public:
  // `name` is the thread's name as the system shows it (at most 15 bytes
  // reach the kernel).
  explicit worker_thread(const char* name, QObject* parent = nullptr) : QThread(parent) { setObjectName(name); }

  // QThread::wait(); afterwards everything work() did is visible here.
  bool wait(QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever)) {
    const bool ended = QThread::wait(deadline);
    if (ended) (void)done_.load(std::memory_order_acquire);
    return ended;
  }
  bool wait(unsigned long ms) { return wait(QDeadlineTimer(qint64(ms))); }

 protected:
  // The thread's loop.
  virtual void work() = 0;

 private:
  void run() final {
    // Stores on destruction, so every return from work() is covered.
    struct mark_done {
      std::atomic<bool>& done;
      ~mark_done() { done.store(true, std::memory_order_release); }
    } guard{done_};
    work();
  }

  std::atomic<bool> done_{false};
};
