// A list file on POSIX. Its directory is opened from the current directory one component at a
// time, never through a symbolic link, and kept as a descriptor (O_PATH: it needs search
// permission only); openat2 with RESOLVE_NO_SYMLINKS does the walk in one call where the kernel
// has it. The list and its copy are reached through the descriptors their channels opened. The
// copy is moved beside the list under a staged name the next run can recompute and given the
// list's access there; it waits for its batch, whose copies (and the log) are made durable by one
// syncfs per file system before each list is looked at once more and renamed over. The renames
// of a pass are made durable together at its end, again one syncfs per file system, where a sync
// of each copy and each directory would cost journal commits per list file.
#include "system/list_replacement_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "system/file_metadata_posix.h"
#include "system/file_state_posix.h"
#include "system/file_stream.h"
#include "system/system_error.h"
#include "system/write_all_posix.h"

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

namespace {

constexpr int DirectoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The current directory's absolute path, as the directory search writes it; empty when it
// cannot be had.
std::string currentDirectory() {
  std::error_code error;
  std::string path = std::filesystem::current_path(error).string();
  return error ? std::string() : path;
}

// Why the component `name` in `directory` could not be opened as a directory.
std::string reasonFor(int directory, const std::string& name, int code) {
  struct stat status {};
  if (code == ELOOP || (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISLNK(status.st_mode))) {
    return "its path leads through a symbolic link";
  }
  if (code == ENOENT || code == ENOTDIR) return "its directory is no longer where it was found";
  return failureText("cannot open its directory", code);
}

// Opens `relative` (components separated by "/", no "..") below the current directory without
// following a link. The descriptor, or -1 with `reason` set.
int openBeneath(const std::string& relative, std::string& reason) {
  if (relative.empty()) {
    const int here = open(".", DirectoryFlags);
    if (here < 0) reason = failureText("cannot open its directory", errno);
    return here;
  }
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long opened;
  do {
    opened = syscall(SYS_openat2, AT_FDCWD, relative.c_str(), &how, sizeof how);
  } while (opened < 0 && errno == EINTR);
  if (opened >= 0) return static_cast<int>(opened);
    // Not offered here, or refused: the walk below either opens it or names the component that
    // failed and why.
#endif
  int directory = open(".", DirectoryFlags);
  if (directory < 0) {
    reason = failureText("cannot open its directory", errno);
    return -1;
  }
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      close(directory);
      reason = "its path leaves the current directory";
      return -1;
    }
    const int next = openat(directory, name.c_str(), DirectoryFlags);
    if (next < 0) {
      reason = reasonFor(directory, name, errno);
      close(directory);
      return -1;
    }
    close(directory);
    directory = next;
  }
  return directory;
}

}  // namespace

bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason) {
  releaseDirectory(directory);
  // The search lists full paths below the current directory: that prefix is where the walk
  // starts, so nothing above the current directory is resolved again.
  static std::string current = currentDirectory();
  std::string prefix = current;
  if (listedPath.substr(0, prefix.size()) != prefix) {
    current = currentDirectory();  // the directory may have been renamed since
    prefix = current;
  }
  if (prefix.empty() || listedPath.substr(0, prefix.size()) != prefix) {
    reason = "it is not below the current directory";
    return false;
  }
  std::string_view rest = listedPath.substr(prefix.size());
  if (prefix.back() != '/') {
    if (rest.empty() || rest.front() != '/') {
      reason = "it is not below the current directory";
      return false;
    }
    rest.remove_prefix(1);
  }
  const std::size_t slash = rest.rfind('/');
  const std::string relative(slash == std::string_view::npos ? std::string_view()
                                                             : rest.substr(0, slash));
  leaf.assign(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
  if (leaf.empty() || leaf == "." || leaf == "..") {
    reason = "it names no file";
    return false;
  }
  const int descriptor = openBeneath(relative, reason);
  if (descriptor < 0) return false;
  directory.descriptor = descriptor;
  return true;
}

void releaseDirectory(HeldDirectory& directory) {
  if (directory.descriptor >= 0) close(directory.descriptor);
  directory = HeldDirectory{};
}

bool isListFileName(std::string_view leaf, std::string_view name) { return leaf == name; }

namespace {

// The name a list's cleaned copy has beside it until it replaces the list: the same for every
// run, so that a run stopped in between leaves a copy the next one finds with one look.
std::string stagedNameOf(const std::string& leaf) {
  return std::string(CopyTemporaryPrefix) + leaf;
}

bool sameFile(const struct stat& found, const FileState& expected) {
  return static_cast<std::uint64_t>(found.st_dev) == expected.device &&
         static_cast<std::uint64_t>(found.st_ino) == expected.fileIndex;
}

// Removes the regular file of this process's user at `name` in `directory`: a copy an earlier run
// left there. True when it removed one. Another user's file, a link, a directory stay: in a
// sticky directory only our own file is ours to remove, and without the sticky bit whoever could
// put a file there may remove any entry anyway. A hard link to another of our files loses only
// this name.
bool removeOwnLeftover(int directory, const std::string& name) {
  struct stat found {};
  if (fstatat(directory, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(found.st_mode) || found.st_uid != geteuid()) return false;
  return unlinkat(directory, name.c_str(), 0) == 0;
}

// Whether a file created in the run's directory may start with attributes of its own: an access
// control list handed down by the directory's default one. Asked once per run; when the question
// cannot be answered, every copy's attributes are read.
bool runDirectoryHandsDownAttributes() {
  static const bool handsDown = [] {
    if (getxattr(".", "system.posix_acl_default", nullptr, 0) >= 0) return true;
    return errno != ENODATA && errno != ENOTSUP;
  }();
  return handsDown;
}

// A file system that received replacements since the last sync of replacements: a readable
// descriptor of one of its directories, and the list files replaced there.
struct PendingFileSystem {
  std::uint64_t device;
  int directory;
  std::vector<std::string> paths;
};

std::vector<PendingFileSystem> pending;

// The pending entry of the file system of a list's directory, made on its first replacement;
// null when no descriptor to sync it later can be had.
PendingFileSystem* pendingFileSystemOf(int directory, std::uint64_t device) {
  for (PendingFileSystem& candidate : pending) {
    if (candidate.device == device) return &candidate;
  }
  const int held = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (held < 0) return nullptr;
  pending.push_back({device, held, {}});
  return &pending.back();
}

// The cleaned copy beside the list: its name there, its descriptor and what it was when made.
struct Staged {
  std::string name;
  int descriptor = -1;
  FileState state;
  bool madeAnew = false;  // written again beside the list (another file system): not list.tmp
  std::int64_t bytes = 0;
};

enum class Staging {
  Done,
  Changed,
  OtherFileSystem,
  Failed
};

// Moves "list.tmp" beside the list under its staged name, where only those who may change the
// list's directory can reach it: in the run's directory another user could swap another file in
// for it. A leftover of ours at that name goes first; anyone else's file keeps it, and a random
// name is taken instead. Failed and OtherFileSystem leave errno set.
Staging moveBesideList(const ListOnDisk& list, Staged& staged) {
  const int directory = list.directory.descriptor;
  staged.name = stagedNameOf(list.leaf);
  int moved = -1;
  for (int attempt = 0; attempt < 100 && moved != 0; ++attempt) {
    moved = renameat2(AT_FDCWD, "list.tmp", directory, staged.name.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
      // A file system without RENAME_NOREPLACE: a second name made exclusively, then the first
      // removed, gives the same.
      moved = linkat(AT_FDCWD, "list.tmp", directory, staged.name.c_str(), 0);
      if (moved == 0) unlinkat(AT_FDCWD, "list.tmp", 0);
    }
    if (moved == 0) break;
    if (errno == EXDEV) return Staging::OtherFileSystem;
    if (errno != EEXIST) return Staging::Failed;
    if (attempt == 0 && removeOwnLeftover(directory, staged.name)) continue;
    staged.name = newCopyTemporaryName();
  }
  if (moved != 0) {
    errno = EEXIST;
    return Staging::Failed;
  }
  struct stat found {};
  if (fstatat(directory, staged.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
      !sameFile(found, list.copyState)) {
    // Not the copy: another file took "list.tmp" before the move. It goes from beside the list.
    unlinkat(directory, staged.name.c_str(), 0);
    return Staging::Changed;
  }
  staged.descriptor = static_cast<int>(list.copyHandle);
  staged.state = list.copyState;
  staged.bytes = static_cast<std::int64_t>(found.st_size);
  return Staging::Done;
}

// Creates the staged copy beside the list exclusively (a leftover of ours at its name goes
// first), private, open for reading and writing. The descriptor, or -1 with errno set.
int createBesideList(int directory, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int made =
        openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made >= 0 || errno != EEXIST) return made;
    if (attempt == 0 && removeOwnLeftover(directory, name)) continue;
    name = newCopyTemporaryName();
  }
  errno = EEXIST;
  return -1;
}

// The list lies on another file system than the run's directory: the copy is written again
// beside the list, from "list.tmp" as it was made, and made durable. False with the reason.
bool copyBesideList(const ListOnDisk& list, Staged& staged, std::string& reason) {
  const int directory = list.directory.descriptor;
  const int source = openat(AT_FDCWD, "list.tmp", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat found {};
  if (source < 0 || fstat(source, &found) != 0 || !sameFile(found, list.copyState)) {
    if (source >= 0) close(source);
    reason = "list.tmp is no longer the cleaned copy";
    return false;
  }
  staged.name = stagedNameOf(list.leaf);
  staged.descriptor = createBesideList(directory, staged.name);
  if (staged.descriptor < 0) {
    reason = failureText("cannot create a copy beside it", errno);
    close(source);
    return false;
  }
  staged.madeAnew = true;
  if (fstat(staged.descriptor, &found) != 0) {
    reason = failureText("cannot inspect the copy", errno);
    return false;
  }
  staged.state = fileStateOf(found);
  char buffer[64 * 1024];
  ssize_t got;
  bool written = true;
  while (written && (got = read(source, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    written = got > 0 && writeAll(staged.descriptor, buffer, static_cast<std::size_t>(got));
    if (written) staged.bytes += got;
  }
  close(source);
  // Made durable with the rest of its batch.
  if (!written) {
    reason = failureText("cannot write a copy beside it", errno);
    return false;
  }
  return true;
}

// A staged copy that does not replace its list is removed from beside it.
void removeStaged(int directory, const std::string& name, const FileState& state) {
  struct stat found {};
  if (fstatat(directory, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(found, state)) {
    unlinkat(directory, name.c_str(), 0);
  }
}

// A list whose copy waits beside it for the batch to close.
struct BatchEntry {
  std::string path;
  int directory;  // the list's directory, held by the batch
  std::string leaf;
  FileState listState;
  std::string stagedName;
  FileState stagedState;
  std::int64_t bytes;
};

// A batch closes after this many lists or bytes of copies, or about this long after its first
// list was staged: the copies beside lists stay few, and a list waits little for its
// replacement. Each list of a batch holds its directory open: a low limit on open files makes
// the batch smaller.
constexpr std::size_t BatchLists = 256;
constexpr std::int64_t BatchByteLimit = 64 * 1024 * 1024;
constexpr double BatchSeconds = 1.0;

std::vector<BatchEntry> batch;
std::int64_t batchBytes = 0;
timespec batchStart{};

std::size_t batchListLimit() {
  static const std::size_t limit = [] {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) {
      return BatchLists;
    }
    // Room for the run's own files, the search and the list being read.
    const rlim_t spare = files.rlim_cur > 32 ? (files.rlim_cur - 32) / 2 : 0;
    return spare < 1 ? std::size_t{1} : std::min<std::size_t>(BatchLists, spare);
  }();
  return limit;
}

void startBatchClock() {
  if (batch.empty()) clock_gettime(CLOCK_MONOTONIC, &batchStart);
}

double secondsSince(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

}  // namespace

ListOutcome swapIntoPlace(int directory,
                          const std::string& stagedName,
                          const FileState& copy,
                          const std::string& leaf,
                          std::string& reason) {
  // What the list's name holds after the exchange is the one look at the staged name: a file
  // put there while the batch waited, or swapped in a moment ago, is found there and goes back.
  struct stat found {};
  const auto copyAt = [&](const std::string& name) {
    return fstatat(directory, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(found, copy);
  };
  if (renameat2(directory, stagedName.c_str(), directory, leaf.c_str(), RENAME_EXCHANGE) == 0) {
    if (copyAt(leaf)) {
      // The old list now has the staged name. Whatever may have taken that name since, removing
      // the name loses no file of the run's: the copy is in place, and the old list, moved away
      // meanwhile, keeps its other name.
      unlinkat(directory, stagedName.c_str(), 0);
      return ListOutcome::Replaced;
    }
    // Another file had the staged name: the list goes back.
    renameat2(directory, stagedName.c_str(), directory, leaf.c_str(), RENAME_EXCHANGE);
    return ListOutcome::Changed;
  }
  // A file system that cannot exchange names (or an older kernel): the staged name is looked at,
  // renamed over the list, and what the rename put in place looked at after.
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    reason = failureText("cannot replace it", errno);
    return ListOutcome::Failed;
  }
  if (!copyAt(stagedName)) return ListOutcome::Changed;
  if (renameat(directory, stagedName.c_str(), directory, leaf.c_str()) != 0) {
    reason = failureText("cannot replace it", errno);
    return ListOutcome::Failed;
  }
  if (copyAt(leaf)) return ListOutcome::Replaced;
  reason = "another file took the place of its cleaned copy while it was replaced";
  return ListOutcome::Failed;
}

void removeStagedLeftover(const ListOnDisk& list) {
  removeOwnLeftover(list.directory.descriptor, stagedNameOf(list.leaf));
}

void removeCleanedCopy(ListOnDisk& list) {
  struct stat left {};
  if (list.copyMade && !list.copyRemoved &&
      fstatat(AT_FDCWD, "list.tmp", &left, AT_SYMLINK_NOFOLLOW) == 0 &&
      sameFile(left, list.copyState)) {
    unlinkat(AT_FDCWD, "list.tmp", 0);
  }
  list.copyRemoved = true;
}

bool listFileUnchanged(const ListOnDisk& list) {
  struct stat found {};
  return list.stateKnown &&
         fstatat(list.directory.descriptor, list.leaf.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(found.st_mode) && fileStateOf(found) == list.state;
}

bool replacementsWaitForBatch() { return true; }

ListOutcome stageListCopy(ListOnDisk& list, std::string& reason) {
  const int listDescriptor = static_cast<int>(list.listHandle);
  Staged staged;
  const Staging staging = moveBesideList(list, staged);
  if (staging == Staging::Changed) return ListOutcome::Changed;
  if (staging == Staging::Failed) {
    reason = failureText("cannot move the cleaned copy beside it", errno);
    return ListOutcome::Failed;
  }
  if (staging == Staging::OtherFileSystem && !copyBesideList(list, staged, reason)) {
    if (staged.madeAnew) {
      close(staged.descriptor);
      removeStaged(list.directory.descriptor, staged.name, staged.state);
    }
    return ListOutcome::Failed;
  }
  if (!staged.madeAnew) list.copyRemoved = true;  // "list.tmp" is beside the list now
  // Given the list's owner, access and attributes only now, beside it: in the run's directory
  // others could have opened it while it granted what the list grants.
  std::string why;
  const bool carried =
      listDescriptor >= 0 &&
      carryOverMetadata(staged.descriptor, staged.state, listDescriptor, list.state,
                        staged.madeAnew || runDirectoryHandsDownAttributes(), why) == 0;
  if (staged.madeAnew) close(staged.descriptor);
  if (!carried) {
    reason = why.empty() ? "cannot read its owner and permissions" : why;
    removeStaged(list.directory.descriptor, staged.name, staged.state);
    return ListOutcome::Failed;
  }
  // Written again beside the list, the copy in the run's directory has served.
  if (staged.madeAnew) removeCleanedCopy(list);
  startBatchClock();
  batch.push_back({list.path, list.directory.descriptor, list.leaf, list.state, staged.name,
                   staged.state, staged.bytes});
  batchBytes += staged.bytes;
  list.directory.descriptor = -1;  // the batch holds it now
  return ListOutcome::Staged;
}

std::size_t stagedListCount() { return batch.size(); }

std::int64_t stagedBytes() { return batchBytes; }

bool batchIsFull() {
  return !batch.empty() && (batch.size() >= batchListLimit() || batchBytes >= BatchByteLimit ||
                            secondsSince(batchStart) >= BatchSeconds);
}

bool syncStagedCopies(std::string& reason) {
  // One sync per file system: the copies' data reach the disk together, and a log on the same
  // file system with them.
  std::vector<std::uint64_t> synced;
  for (const BatchEntry& entry : batch) {
    if (std::find(synced.begin(), synced.end(), entry.listState.device) != synced.end()) continue;
    synced.push_back(entry.listState.device);
    const PendingFileSystem* fileSystem =
        pendingFileSystemOf(entry.directory, entry.listState.device);
    int result = fileSystem == nullptr ? -1 : 0;
    while (fileSystem != nullptr && (result = syncfs(fileSystem->directory)) != 0 &&
           errno == EINTR) {
    }
    if (result != 0) {
      reason = failureText("cannot flush the cleaned copies to the disk", errno);
      return false;
    }
  }
  return true;
}

std::vector<BatchedOutcome> replaceStagedLists(const char* refusal) {
  std::vector<BatchedOutcome> outcomes;
  for (BatchEntry& entry : batch) {
    BatchedOutcome outcome{entry.path, ListOutcome::Replaced, {}};
    struct stat found {};
    if (refusal != nullptr) {
      outcome.outcome = ListOutcome::Failed;
      outcome.reason = refusal;
    } else if (fstatat(entry.directory, entry.leaf.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
               !S_ISREG(found.st_mode) || !(fileStateOf(found) == entry.listState)) {
      outcome.outcome = ListOutcome::Changed;  // the last look, right before the replacement
    } else if (const ListOutcome placed =
                   swapIntoPlace(entry.directory, entry.stagedName, entry.stagedState, entry.leaf,
                                 outcome.reason);
               placed != ListOutcome::Replaced) {
      outcome.outcome = placed;
    } else if (PendingFileSystem* fileSystem =
                   pendingFileSystemOf(entry.directory, entry.listState.device)) {
      fileSystem->paths.push_back(entry.path);
    } else if (const int code = syncDirectory(entry.directory); code != 0) {
      // Without a descriptor to sync its file system later, the directory is synced at once.
      outcome.outcome = ListOutcome::ReplacedNotDurable;
      outcome.reason = failureText("cannot flush its directory", code);
    }
    if (outcome.outcome == ListOutcome::Changed || outcome.outcome == ListOutcome::Failed) {
      removeStaged(entry.directory, entry.stagedName, entry.stagedState);
    }
    if (outcome.outcome != ListOutcome::Replaced) outcomes.push_back(std::move(outcome));
    close(entry.directory);
  }
  batch.clear();
  batchBytes = 0;
  return outcomes;
}

std::vector<UndurableReplacement> syncReplacements() {
  std::vector<UndurableReplacement> undurable;
  for (const PendingFileSystem& fileSystem : pending) {
    int result;
    do {
      result = fileSystem.paths.empty() ? 0 : syncfs(fileSystem.directory);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      const std::string reason = failureText("cannot flush its file system", errno);
      for (const std::string& path : fileSystem.paths) undurable.push_back({path, reason});
    }
    close(fileSystem.directory);
  }
  pending.clear();
  return undurable;
}

bool runFileExists(std::string_view name) {
  struct stat status {};
  return fstatat(AT_FDCWD, std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno != ENOENT;
}

bool syncRunDirectory(std::string& reason) {
  const int code = syncDirectory(AT_FDCWD);
  if (code == 0) return true;
  reason = failureText("cannot flush the run's directory", code);
  return false;
}
