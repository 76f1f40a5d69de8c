// POSIX: the built-in replacement, renaming into the held directory's descriptor. Directories are
// synced after the renames, each once, in batches: the first sync of a batch commits the
// file system's journal with every rename before it, and the others then cost little.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "cleaning/list_replacement.h"
#include "commands/command_processor.h"

namespace {

// Directories to sync at most this many at a time: each holds a descriptor until then.
constexpr std::size_t SyncBatch = 64;

struct PendingSync {
  int directory;  // a descriptor of the directory, readable, so that it can be synced
  std::string path;
};

std::vector<PendingSync> pendingSyncs;
std::vector<UnsettledReplacement> unsettled;

void syncPending() {
  for (const PendingSync& pending : pendingSyncs) {
    if (int code = syncDirectory(pending.directory); code != 0) {
      unsettled.push_back({pending.path, std::string("cannot flush its directory: ") +
                                             std::strerror(code)});
    }
    close(pending.directory);
  }
  pendingSyncs.clear();
}

bool sameFile(const struct stat& found, const ListFileState& expected) {
  return static_cast<std::uint64_t>(found.st_dev) == expected.device &&
         static_cast<std::uint64_t>(found.st_ino) == expected.fileIndex;
}

bool unchanged(const struct stat& found, const ListFileState& expected) {
  return sameFile(found, expected) && S_ISREG(found.st_mode) &&
         static_cast<std::int64_t>(found.st_size) == expected.size &&
         static_cast<std::int64_t>(found.st_mtim.tv_sec) == expected.modifiedTime &&
         static_cast<std::int64_t>(found.st_mtim.tv_nsec) == expected.modifiedFraction;
}

}  // namespace

Replacement replaceListFile(const HeldDirectory& directory,
                            const std::string& leaf,
                            const std::string& path,
                            const ListFileState& listState,
                            const ListFileState& copyState,
                            std::string& reason) {
  const ReplaceCheck check = [&](const struct stat& copy, const struct stat& list) {
    return sameFile(copy, copyState) && unchanged(list, listState);
  };
  // A directory that cannot be held for its sync later is synced with the rename.
  const int syncLater = openat(directory.descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const ReplaceOutcome outcome = replaceFileAt(AT_FDCWD, "list.tmp", directory.descriptor, leaf,
                                               &check, &reason, syncLater < 0);
  if (syncLater >= 0) {
    if (outcome == ReplaceOutcome::Replaced) {
      pendingSyncs.push_back({syncLater, path});
      if (pendingSyncs.size() >= SyncBatch) syncPending();
    } else {
      close(syncLater);
    }
  }
  switch (outcome) {
    case ReplaceOutcome::Replaced:
      return Replacement::Done;
    case ReplaceOutcome::ReplacedNotDurable:
      return Replacement::DoneNotDurable;
    case ReplaceOutcome::Changed:
      return Replacement::Changed;
    case ReplaceOutcome::Failed:
      break;
  }
  return Replacement::Failed;
}

std::vector<UnsettledReplacement> settleReplacements() {
  syncPending();
  std::vector<UnsettledReplacement> result;
  result.swap(unsettled);
  return result;
}
