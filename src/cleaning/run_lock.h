// The run lock: one cleaning run at a time in a directory, since every run there shares
// "list.tmp", the file lists and the log.
#pragma once

enum class RunLock {
  Held,     // this run holds it until the process ends
  Busy,     // another run holds it
  Missing,  // the file system offers no locks: runs are not kept apart
  Failed,   // the lock could not be tried (no descriptor to spare): the run must not go on
};

// Tries to take the run lock without waiting.
RunLock tryLockRun();
