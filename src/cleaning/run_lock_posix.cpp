// POSIX: an exclusive flock on the run's directory itself. A lock on the log would follow the
// log's name: a log renamed during a run (rotation) would let a second run in beside the first.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "cleaning/run_lock.h"

RunLock tryLockRun() {
  // Kept open (and so locked) until the process ends.
  static const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Without the directory open, another run could not be kept out: a limit on descriptors or
  // memory is no reason to run unlocked.
  if (directory < 0) return RunLock::Failed;
  while (flock(directory, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    // Otherwise the file system offers no locks (ENOLCK, EINVAL): the run goes on alone.
    return errno == EWOULDBLOCK ? RunLock::Busy : RunLock::Missing;
  }
  return RunLock::Held;
}
