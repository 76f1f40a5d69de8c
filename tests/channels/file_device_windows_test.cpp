// The file device on Windows: region locks, which hold against every other handle of the file,
// even one of the same process.
#include <gtest/gtest.h>

#include "channels/channel.h"
#include "support/scratch_dir.h"

namespace {

class FileDeviceWindows : public testing::Test {
 protected:
  void SetUp() override {
    clearChannelTable();
    setStatus(StatusCode::Ok);
  }
  void TearDown() override { closeAllChannels(); }

  ScratchDir scratch_;
};

TEST_F(FileDeviceWindows, ALockedRegionIsRefusedToAnotherChannelUntilUnlocked) {
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, 10, 0), StatusCode::Ok);
  ASSERT_EQ(lockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EQ(lockChannel(10, 0, 1), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(lockChannel(10, 1, 1), StatusCode::Ok) << "the next byte is free";
  ASSERT_EQ(unlockChannel(9, 0, 1), StatusCode::Ok);
  EXPECT_EQ(lockChannel(10, 0, 1), StatusCode::Ok);
  EXPECT_EQ(unlockChannel(9, 0, 1), StatusCode::TransferFailed) << "not locked by channel 9";
}

}  // namespace
