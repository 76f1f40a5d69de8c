#include "status/status_store.h"

#include <gtest/gtest.h>

TEST(StatusStore, HoldsTheLastValueStoredUntilTheNextStore) {
  EXPECT_EQ(lastStatus(), StatusCode::Ok) << "nothing stored yet in this process";
  EXPECT_EQ(setStatus(StatusCode::TransferFailed), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
  EXPECT_EQ(setStatus(StatusCode::Ok), StatusCode::Ok);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
}
