// The run lock: one cleaning run at a time in a directory, since every run there shares
// the file lists and the log.
#pragma once

#include <string>

#include "system/file_stream.h"

enum class RunLock {
  Held,     // this run holds it until releaseRunLock or the end of the process
  Busy,     // another run holds it
  Missing,  // the file system offers no locks: runs are not kept apart
  Failed,   // the lock could not be tried (no descriptor to spare, or a lock file that is not
            // this user's alone): the run must not go on
};

// Tries to take the run lock without waiting. POSIX: the lock of "chklist.lock", a file of its
// own; Windows: a byte of the run's log, open on `log` (null: Missing). After Failed, `reason`
// may hold why (empty when there is nothing more to say).
RunLock tryLockRun(FileStream* log, std::string& reason);

// Who holds the lock while tryLockRun says Busy, where the system tells ("process 1234");
// empty otherwise.
std::string runLockOwner();

// Lets the lock go, leaving nothing of it in the directory. Safe to call at any time, also
// when the lock was never taken.
void releaseRunLock();

// True when the lock is taken on the log itself (Windows): the log is then opened first.
// Otherwise the lock comes first, so that a run refused for it creates nothing, not even the
// log.
bool runLockNeedsLog();

// False when the lock this run holds has lost its name: "chklist.lock" was removed or replaced
// (by hand, a tidy-up script) and keeps no other run out any more. Then releaseRunLock and
// tryLockRun take it anew. True while the name holds the file locked, when no lock is held, and
// where the lock has no name of its own (Windows).
bool runLockStillNamed();
