// The fixture of tests that open channels: every record closed and the status Ok before each
// test, every file channel closed after it, and a scratch directory of its own as the current
// directory meanwhile. Suites derive from it or take its name: using FileDeviceWindows = ...
#pragma once

#include <gtest/gtest.h>

#include "channels/channel.h"
#include "support/scratch_dir.h"

class ChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    clearChannelTable();
    setStatus(StatusCode::Ok);
  }
  void TearDown() override { closeAllChannels(); }

  ScratchDir scratch_;
};
