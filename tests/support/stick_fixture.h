// A capture thread that has opened the in-process virtual stick and done
// nothing else: the stick's log starts after the opening, and what the
// thread logs is kept.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "capture/capture_thread.h"
#include "sim/in_process_backend.h"
#include "tests/support/message_log.h"

struct opened_stick_fixture : ::testing::Test {
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  in_process_backend backend;
  capture_thread thread;
  message_log messages;

  void SetUp() override {
    backend.add(stick);
    thread.backend = &backend;
    ASSERT_TRUE(thread.open_device());
    stick->clear_log();
  }
};
