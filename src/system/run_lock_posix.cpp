// POSIX: an fcntl write lock on "chklist.lock", a private file of the run's user in the run's
// directory. A write lock needs the file open for writing, so a user who may only read the
// directory cannot take it (a lock on the directory itself could be taken by any reader), and
// it does not follow the log's name: a log renamed during a run (rotation) lets no second run
// in. The file is removed when the run ends; a run that finds its lock file gone or replaced
// after taking the lock takes it again on the file now at the name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "system/file_state_posix.h"
#include "system/refusal_reason.h"
#include "system/run_lock.h"
#include "system/write_all_posix.h"

namespace {

constexpr const char* LockFileName = "chklist.lock";

// The lock file while this run has it open; kept open (and so locked, once taken) until
// releaseRunLock or the end of the process. No other descriptor of it is ever opened: closing
// any descriptor of a file drops the process's fcntl locks on it.
int lockFile = -1;
// True once this run has the lock, or goes on without one: the file is then its to remove.
bool ours = false;
// The device and inode of the lock file once it is ours: the name is checked against them.
dev_t heldDevice = 0;
ino_t heldInode = 0;

void closeLockFile() {
  if (lockFile >= 0) close(lockFile);
  lockFile = -1;
  ours = false;
}

// Opens the lock file, made private when new. False with `reason` when there is none to open,
// or the name holds something else than a file of this user alone.
bool openLockFile(std::string& reason) {
  lockFile =
      open(LockFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (lockFile < 0) {
    const int error = errno;
    // No descriptor or memory to spare: the short message says it all.
    if (error != EMFILE && error != ENFILE && error != ENOMEM) {
      reason = std::string(LockFileName) + ": " + refusalReason(LockFileName, error);
    }
    return false;
  }
  struct stat status {};
  if (fstat(lockFile, &status) != 0 || !S_ISREG(status.st_mode) ||
      ownershipProblemOf(status) != OwnershipProblem::None) {
    closeLockFile();
    reason = std::string(LockFileName) + ": " + refusalReason(LockFileName, 0);
    return false;
  }
  // Anyone who may read it may hold a read lock, which keeps the write lock out.
  if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0 && fchmod(lockFile, S_IRUSR | S_IWUSR) != 0) {
    closeLockFile();
    return false;
  }
  return true;
}

// Marks the open lock file as this run's, and keeps what identifies it (nothing when it cannot
// be had: then no name holds it).
void takeOwnership() {
  ours = true;
  struct stat held {};
  const bool known = fstat(lockFile, &held) == 0;
  heldDevice = known ? held.st_dev : 0;
  heldInode = known ? held.st_ino : 0;
}

// True when the name holds the lock file this run took (one look: what it holds is known).
bool nameHoldsLockFile() {
  struct stat named {};
  return fstatat(AT_FDCWD, LockFileName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         named.st_dev == heldDevice && named.st_ino == heldInode;
}

}  // namespace

RunLock tryLockRun(FileStream*, std::string& reason) {
  // A few rounds: the run that held the lock removes its file as it lets go.
  for (int round = 0; round < 4; ++round) {
    if (lockFile < 0 && !openLockFile(reason)) return RunLock::Failed;
    struct flock region = wholeFile(F_WRLCK);
    int result;
    do {
      result = fcntl(lockFile, F_SETLK, &region);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      if (errno == EACCES || errno == EAGAIN) return RunLock::Busy;
      // Otherwise the file system offers no locks (ENOLCK, EINVAL): the run goes on alone.
      takeOwnership();
      return RunLock::Missing;
    }
    takeOwnership();
    if (nameHoldsLockFile()) return RunLock::Held;
    closeLockFile();  // locked a file that has no name by now (or another holds the name)
  }
  return RunLock::Busy;
}

std::string runLockOwner() {
  if (lockFile < 0) return {};
  struct flock region = wholeFile(F_WRLCK);
  if (fcntl(lockFile, F_GETLK, &region) != 0 || region.l_type == F_UNLCK || region.l_pid <= 0) {
    return {};
  }
  return "process " + std::to_string(region.l_pid);
}

void releaseRunLock() {
  if (lockFile < 0) return;
  // Removed while still locked: a run waiting on this file finds it without a name once it
  // gets the lock, and takes the lock again at the name.
  if (ours && nameHoldsLockFile()) unlink(LockFileName);
  closeLockFile();
}

bool runLockNeedsLog() { return false; }

bool runLockStillNamed() { return lockFile < 0 || !ours || nameHoldsLockFile(); }
