// Real-time scheduling for the threads that must keep up with the stick.
//
// On a Linux desktop a normal user may not raise a thread's priority
// himself (QThread::TimeCriticalPriority does nothing for him); the desktop
// hands real-time priority out through RealtimeKit, a system service on
// D-Bus, as it does to sound servers and audio programs. So a thread asks
// RealtimeKit first, then the scheduler itself (which lets root, or a user
// whose RLIMIT_RTPRIO allows it), and otherwise runs as it is: nothing
// depends on getting it. That neither worked is told once per process.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace realtime {

enum class outcome { realtime_kit, scheduler, already, refused };

// The ways to get it, replaceable for the tests. Each returns true on
// success, or false with the reason in *why.
struct ways {
  std::function<bool(int priority, std::string* why)> realtime_kit;
  std::function<bool(int priority, std::string* why)> scheduler;
  std::function<bool()> already_realtime;
  // Set once the refusal was told (the process's own flag for the system).
  std::atomic<bool>* told = nullptr;
};
ways system_ways();

// Makes the calling thread a real-time thread (SCHED_FIFO) at `priority`
// (1..99; RealtimeKit may cap it lower). `who` names the thread in the log.
outcome make_this_thread_realtime(const char* who, int priority);
outcome make_this_thread_realtime(const char* who, int priority, const ways& w);

// The capture thread's; the render thread it starts inherits it.
constexpr int capture_priority = 12;

}  // namespace realtime
