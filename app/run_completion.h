// Makes everything a QThread's run() did visible to whoever waited for it.
//
// QThread::wait() synchronises inside Qt, which ThreadSanitizer cannot see
// (Qt is not built with it): when the thread had already finished, wait()
// returns on a bare futex check. A release store as run() ends and an
// acquire load after wait() give the same guarantee in a form it can see.
#pragma once

#include <atomic>

class run_completion {
 public:
  // Stores on destruction, so every return from run() is covered.
  class guard {
   public:
    explicit guard(run_completion& c) : c_(c) {}
    ~guard() { c_.done_.store(true, std::memory_order_release); }
    guard(const guard&) = delete;
    guard& operator=(const guard&) = delete;

   private:
    run_completion& c_;
  };
  // After QThread::wait() returned true.
  void observe() const { (void)done_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> done_{false};
};
