#include "base/realtime_scheduling.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDebug>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/logging.h"

namespace realtime {
namespace {

const QString service = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString path = QStringLiteral("/org/freedesktop/RealtimeKit1");
const QString interface = QStringLiteral("org.freedesktop.RealtimeKit1");
// RealtimeKit answers at once or not at all; the thread waits no longer.
constexpr int call_timeout_ms = 1000;

// A property of RealtimeKit's, or `fallback` when it cannot be read.
qlonglong property(QDBusConnection& bus, const char* name, qlonglong fallback) {
  QDBusMessage get = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << interface << QString::fromLatin1(name);
  const QDBusMessage reply = bus.call(get, QDBus::Block, call_timeout_ms);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return fallback;
  const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
  bool ok = false;
  const qlonglong v = value.toLongLong(&ok);
  return ok ? v : fallback;
}

bool by_realtime_kit(int priority, std::string* why) {
  // Without a system bus there is no RealtimeKit; not even a connection is
  // tried (it would start Qt's D-Bus thread for nothing).
  if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS") && access("/run/dbus/system_bus_socket", F_OK) != 0 &&
      access("/var/run/dbus/system_bus_socket", F_OK) != 0) {
    *why = "no system bus";
    return false;
  }
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    *why = "no system bus";
    return false;
  }
  const int most = int(property(bus, "MaxRealtimePriority", 1));
  const qlonglong rttime_max = property(bus, "RTTimeUSecMax", 200000);
  // RealtimeKit gives real time only to a process that a thread running
  // away at it would soon stop: its CPU time without a blocking call is
  // limited (the kernel sends SIGXCPU, then SIGKILL).
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) == 0 &&
      (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > rlim_t(rttime_max))) {
    limit.rlim_cur = limit.rlim_max = rlim_t(rttime_max);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
      *why = std::string("cannot limit RLIMIT_RTTIME: ") + std::strerror(errno);
      return false;
    }
  }
  QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("MakeThreadRealtime"));
  call << qulonglong(syscall(SYS_gettid)) << uint(std::clamp(priority, 1, std::max(1, most)));
  const QDBusMessage reply = bus.call(call, QDBus::Block, call_timeout_ms);
  if (reply.type() == QDBusMessage::ReplyMessage) return true;
  *why = (reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()).toStdString();
  return false;
}

bool by_scheduler(int priority, std::string* why) {
  sched_param param{};
  param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));
  const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &param);
  if (error == 0) return true;
  *why = std::strerror(error);
  return false;
}

bool is_realtime() {
  int policy = 0;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return false;
  policy &= ~SCHED_RESET_ON_FORK;
  return policy == SCHED_FIFO || policy == SCHED_RR;
}

std::atomic<bool> refusal_told{false};

}  // namespace

ways system_ways() { return ways{by_realtime_kit, by_scheduler, is_realtime, &refusal_told}; }

outcome make_this_thread_realtime(const char* who, int priority) {
  return make_this_thread_realtime(who, priority, system_ways());
}

outcome make_this_thread_realtime(const char* who, int priority, const ways& w) {
  // A thread started by a real-time one inherits its scheduling.
  if (w.already_realtime && w.already_realtime()) return outcome::already;
  std::string kit_why, scheduler_why;
  // Getting it is the normal case and is not told.
  if (w.realtime_kit && w.realtime_kit(priority, &kit_why)) return outcome::realtime_kit;
  if (w.scheduler && w.scheduler(priority, &scheduler_why)) return outcome::scheduler;
  if (!w.told || !w.told->exchange(true))
    qCWarning(base_log).noquote() << QString(
                                         "%1: no real-time scheduling (RealtimeKit: %2; scheduler: %3); the capture "
                                         "threads run at normal priority and may lose fields on a busy computer")
                                         .arg(who, QString::fromStdString(kit_why),
                                              QString::fromStdString(scheduler_why));
  return outcome::refused;
}

}  // namespace realtime
