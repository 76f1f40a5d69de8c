// POSIX: the built-in replacement, renaming into the held directory's descriptor. The renames
// of a pass are made durable together at its end: one syncfs per file system that received one
// commits them all, where a sync of each directory would cost a journal commit per list file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "channels/file_state_posix.h"
#include "cleaning/list_replacement.h"
#include "commands/command_processor.h"

namespace {

// A file system that received replacements since the last settling: a readable descriptor of
// one of its directories, and the list files replaced there.
struct PendingFileSystem {
  std::uint64_t device;
  int directory;
  std::vector<std::string> paths;
};

std::vector<PendingFileSystem> pending;

bool sameFile(const struct stat& found, const ListFileState& expected) {
  return static_cast<std::uint64_t>(found.st_dev) == expected.device &&
         static_cast<std::uint64_t>(found.st_ino) == expected.fileIndex;
}

bool unchanged(const struct stat& found, const ListFileState& expected) {
  return S_ISREG(found.st_mode) && fileStateOf(found) == expected;
}

// The pending entry of the file system of a list's directory, made on its first replacement;
// null when no descriptor to sync it later can be had.
PendingFileSystem* pendingFileSystemOf(const HeldDirectory& directory, std::uint64_t device) {
  for (PendingFileSystem& candidate : pending) {
    if (candidate.device == device) return &candidate;
  }
  const int held = openat(directory.descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (held < 0) return nullptr;
  pending.push_back({device, held, {}});
  return &pending.back();
}

// After a replacement that did not happen: the copy goes, when it is still at its name and still
// the copy.
void removeCopyLeftBehind(const ListFileState& copyState, const CleanedCopyHold& hold) {
  struct stat left {};
  if (hold.descriptor >= 0 && fstatat(AT_FDCWD, "list.tmp", &left, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(left, copyState)) {
    unlinkat(AT_FDCWD, "list.tmp", 0);
  }
}

}  // namespace

bool holdCleanedCopy(const ListFileState& copyState, CleanedCopyHold& hold) {
  releaseCleanedCopy(hold);
  const int held = open("list.tmp", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat status {};
  if (held < 0) return false;
  if (fstat(held, &status) != 0 || !sameFile(status, copyState)) {
    close(held);
    return false;
  }
  hold.descriptor = held;
  return true;
}

void releaseCleanedCopy(CleanedCopyHold& hold) {
  if (hold.descriptor >= 0) close(hold.descriptor);
  hold.descriptor = -1;
}

Replacement replaceListFile(const HeldDirectory& directory,
                            const std::string& leaf,
                            const std::string& path,
                            const ListFileState& listState,
                            const ListFileState& copyState,
                            const CleanedCopyHold& hold,
                            std::string& reason) {
  const ReplaceCheck check = [&](const struct stat& copy, const struct stat& list) {
    return sameFile(copy, copyState) && unchanged(list, listState);
  };
  PendingFileSystem* fileSystem = pendingFileSystemOf(directory, listState.device);
  // Without a descriptor to sync its file system later, the directory is synced at once.
  // The cleaning run has made the copy durable already.
  ReplaceOptions options;
  options.check = &check;
  options.syncSource = false;
  options.syncDirectory = fileSystem == nullptr;
  options.heldSource = hold.descriptor;
  const ReplaceOutcome outcome =
      replaceFileAt(AT_FDCWD, "list.tmp", directory.descriptor, leaf, options, &reason);
  switch (outcome) {
    case ReplaceOutcome::Replaced:
      if (fileSystem != nullptr) fileSystem->paths.push_back(path);
      return Replacement::Done;
    case ReplaceOutcome::ReplacedNotDurable:
      return Replacement::DoneNotDurable;
    case ReplaceOutcome::Changed:
    case ReplaceOutcome::Failed:
      break;
  }
  removeCopyLeftBehind(copyState, hold);
  return outcome == ReplaceOutcome::Changed ? Replacement::Changed : Replacement::Failed;
}

std::vector<UnsettledReplacement> settleReplacements() {
  std::vector<UnsettledReplacement> unsettled;
  for (const PendingFileSystem& fileSystem : pending) {
    int result;
    do {
      result = fileSystem.paths.empty() ? 0 : syncfs(fileSystem.directory);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const std::string reason =
          std::string("cannot flush its file system: ") + std::strerror(errno);
      for (const std::string& path : fileSystem.paths) unsettled.push_back({path, reason});
    }
    close(fileSystem.directory);
  }
  pending.clear();
  return unsettled;
}

bool runFileExists(std::string_view name) {
  struct stat status {};
  return fstatat(AT_FDCWD, std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno != ENOENT;
}

bool syncRunDirectory(std::string& reason) {
  const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int result = directory < 0 ? -1 : 0;
  if (result == 0) {
    do {
      result = fsync(directory);
    } while (result != 0 && errno == EINTR);
  }
  const int error = errno;
  if (directory >= 0) close(directory);
  if (result == 0) return true;
  reason = std::string("cannot flush the run's directory: ") + std::strerror(error);
  return false;
}
