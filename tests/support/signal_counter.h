// Counts a signal emitted from any thread. QSignalSpy records on the emitting
// thread without a lock, so threaded tests count with an atomic instead.
#pragma once

#include <QObject>
#include <QTest>
#include <atomic>

class signal_counter {
 public:
  template <typename Sender, typename Signal>
  signal_counter(Sender* sender, Signal signal) {
    connection_ = QObject::connect(
        sender, signal, sender, [this] { ++count_; }, Qt::DirectConnection);
  }
  ~signal_counter() { QObject::disconnect(connection_); }
  int count() const { return count_.load(); }
  bool wait_for(int n, int timeout_ms = 10000) const {
    return QTest::qWaitFor([&] { return count_.load() >= n; }, timeout_ms);
  }

 private:
  std::atomic<int> count_{0};
  QMetaObject::Connection connection_;
};
