// Real-time scheduling: RealtimeKit first, the scheduler second, told once
// when neither gives it, and what the system here really gives.
#include "base/realtime_scheduling.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <thread>

#include "tests/support/message_log.h"

namespace {

struct fake_ways {
  bool kit_gives = false, scheduler_gives = false, already = false;
  int kit_calls = 0, scheduler_calls = 0, asked_priority = 0;
  std::atomic<bool> told{false};
  realtime::ways ways() {
    return {[this](int priority, std::string* why) {
              ++kit_calls;
              asked_priority = priority;
              if (!kit_gives) *why = "org.freedesktop.DBus.Error.ServiceUnknown";
              return kit_gives;
            },
            [this](int, std::string* why) {
              ++scheduler_calls;
              if (!scheduler_gives) *why = "Operation not permitted";
              return scheduler_gives;
            },
            [this] { return already; }, &told};
  }
};

int refusals(const message_log& log) { return log.messages().filter("no real-time scheduling").size(); }

TEST(realtime_scheduling, realtime_kit_first_then_the_scheduler_and_a_refusal_told_once) {
  message_log log;
  {
    fake_ways f;
    f.kit_gives = true;
    EXPECT_EQ(realtime::make_this_thread_realtime("capture thread", 12, f.ways()), realtime::outcome::realtime_kit);
    EXPECT_EQ(f.scheduler_calls, 0) << "RealtimeKit gave it: the scheduler is not asked";
    EXPECT_EQ(f.asked_priority, 12);
  }
  {
    fake_ways f;
    f.scheduler_gives = true;
    EXPECT_EQ(realtime::make_this_thread_realtime("capture thread", 12, f.ways()), realtime::outcome::scheduler);
    EXPECT_EQ(f.kit_calls, 1);
    EXPECT_EQ(f.scheduler_calls, 1);
  }
  {
    fake_ways f;
    f.already = true;
    EXPECT_EQ(realtime::make_this_thread_realtime("render thread", 12, f.ways()), realtime::outcome::already);
    EXPECT_EQ(f.kit_calls + f.scheduler_calls, 0);
  }
  EXPECT_EQ(refusals(log), 0);
  fake_ways f;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(realtime::make_this_thread_realtime("capture thread", 12, f.ways()), realtime::outcome::refused);
  ASSERT_EQ(refusals(log), 1);
  // The one line says why, both ways.
  const QString line = log.messages().filter("no real-time scheduling").first();
  EXPECT_TRUE(line.contains("ServiceUnknown")) << line.toStdString();
  EXPECT_TRUE(line.contains("Operation not permitted")) << line.toStdString();
}

// What this machine gives: whichever way, the thread is then a SCHED_FIFO
// thread at a priority of its own; refused, it stays as it was.
TEST(realtime_scheduling, the_system_gives_a_fifo_thread_or_leaves_it_as_it_was) {
  realtime::outcome got = realtime::outcome::refused;
  int policy = -1;
  sched_param param{};
  std::thread t([&] {
    got = realtime::make_this_thread_realtime("test thread", realtime::capture_priority);
    pthread_getschedparam(pthread_self(), &policy, &param);
  });
  t.join();
  policy &= ~SCHED_RESET_ON_FORK;
  if (got == realtime::outcome::refused) {
    EXPECT_EQ(policy, SCHED_OTHER);
  } else {
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_GE(param.sched_priority, 1);
    EXPECT_LE(param.sched_priority, realtime::capture_priority);
  }
}

}  // namespace
