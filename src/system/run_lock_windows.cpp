// Windows: a lock on one byte of the log far beyond any real log's end. The log is opened
// without delete sharing, so it cannot be renamed or removed while a run holds it open, and the
// lock cannot be moved away with its name.
#include <cstdint>

#include "system/run_lock.h"

namespace {
constexpr std::int64_t RunLockOffset = 0x7FFFFFFE;
constexpr std::int64_t RunLockLength = 1;
}  // namespace

RunLock tryLockRun(FileStream* log, std::string&) {
  if (log == nullptr) return RunLock::Missing;
  switch (lockFileRegion(*log, RunLockOffset, RunLockLength, true)) {
    case StatusCode::Ok:
      return RunLock::Held;
    case StatusCode::TransferFailed:
      return RunLock::Busy;
    default:
      return RunLock::Missing;
  }
}

// The lock lives on the log's handle, which says nothing of its holder, and goes with it.
std::string runLockOwner() { return {}; }
void releaseRunLock() {}
bool runLockNeedsLog() { return true; }
// The log open without delete sharing keeps its name, and the lock with it.
bool runLockStillNamed() { return true; }
