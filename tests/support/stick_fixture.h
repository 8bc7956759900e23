// A link that has claimed the in-process virtual stick and done nothing
// else: the stick's log starts after the claim, and what is logged is kept.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "capture/stick_link.h"
#include "sim/in_process_backend.h"
#include "tests/support/message_log.h"

struct opened_stick_fixture : ::testing::Test {
  std::shared_ptr<virtual_stick> stick = std::make_shared<virtual_stick>();
  in_process_backend backend;
  stick_link link{&backend};
  message_log messages;

  void SetUp() override {
    backend.add(stick);
    ASSERT_TRUE(link.claim().claimed);
    stick->clear_log();
  }
};
