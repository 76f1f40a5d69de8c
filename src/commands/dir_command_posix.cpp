// "dir NAME /s/b > FILE" on POSIX: a depth-first walk of the current directory that writes the
// absolute path of every regular file named NAME to FILE, CR LF after each. Directories are
// opened relative to their parent with O_NOFOLLOW, so a symbolic link (or one swapped in during
// the walk) is never entered; each directory is read in one pass and only its subdirectory
// names are kept, so memory follows the widest directory on the current branch. Where reads are
// slow (a network share, where each directory costs round trips) a few threads open and read the
// next subdirectories ahead of the walk, which lists them in its own order, so that the round
// trips overlap. Where they are fast the walk is work for the CPUs, and a thread to spare walks
// half of a directory's subdirectories into buffers of its own, taken in order when the walk
// reaches them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/command_processor_posix.h"
#include "system/interruption.h"
#include "system/list_seam.h"
#include "system/system_error.h"
#include "system/worker_pool.h"
#include "system/write_all_posix.h"

namespace {

// The listing's output: buffered writes to FILE, the first failure kept; or, for a part of the
// walk on another thread (no FILE), a buffer kept until the walk takes it.
struct ListOutput {
  int fd = -1;
  std::string buffer;
  int writeError = 0;

  void flush() {
    if (writeError == 0 && !writeAll(fd, buffer.data(), buffer.size())) writeError = errno;
    buffer.clear();
  }

  void add(std::string_view bytes) {
    buffer.append(bytes);
    if (fd >= 0 && buffer.size() >= 64 * 1024) flush();
  }
};

// A message of a part of the walk, kept until the walk reaches the part.
struct Said {
  bool onConsole;
  std::string text;
};

// The threads that walk parts of a fast file system's tree: started once the walk's first reads
// prove fast, and used no more once any reads prove slow.
struct Forks {
  std::optional<TaskStack> threads;
  std::size_t most = 0;                     // parts walked or waiting at once, at most
  std::atomic<std::size_t> outstanding{0};  // parts pushed and not yet done or taken back
  std::atomic<bool> slow{false};
};

// What a part may hold of paths and messages before it gives up and leaves the rest of its
// directories to the walk: the bytes of a part stay in memory until the walk reaches it.
constexpr std::size_t PartBytes = 1024 * 1024;

// One walk, or one part of it on another thread: what it looks for and what it has found so far.
struct Walk {
  std::string_view name;
  ListOutput* output;
  std::size_t matches = 0;
  int depth = 0;            // directories below the one the walk started in
  bool ownFailure = false;  // a directory could not be read for the walk's own reasons
  // The threads that read subdirectories ahead: started once the walk's own reads prove slow
  // (a share, a cold disk); where a directory is read in microseconds, handing it to another
  // thread would cost more than reading it.
  std::optional<TaskStack>* threads = nullptr;
  TaskStack* ahead = nullptr;
  std::size_t aheadLimit = 0;  // directories read ahead and not yet walked, at most
  std::size_t aheadNow = 0;
  std::chrono::steady_clock::duration readTime{};  // the walk's own reads of subdirectories
  std::size_t reads = 0;
  Forks* forks = nullptr;
  // A part's messages wait here; `given up` once it holds PartBytes or its reads prove slow or
  // no descriptor is left for it: the walk does the rest of the part's directories itself.
  std::vector<Said>* said = nullptr;
  std::size_t saidBytes = 0;
  bool givenUp = false;

  bool isPart() const { return said != nullptr; }

  void add(std::string_view bytes) {
    output->add(bytes);
    if (isPart()) giveUpWhenFull();
  }

  void giveUpWhenFull() {
    if (output->buffer.size() + saidBytes > PartBytes) givenUp = true;
  }

  void say(bool onConsole, std::string text) {
    if (!isPart()) {
      if (onConsole) {
        reportOnConsole(text);
      } else {
        reportCommandError(text);
      }
      return;
    }
    saidBytes += text.size();
    said->push_back({onConsole, std::move(text)});
    giveUpWhenFull();
  }
};

// How deep the walk goes. Each level holds a descriptor and a frame until its subdirectories are
// done: a tree nested deeper (anyone who can write a directory can make one) would exhaust the
// descriptors or the stack. Real trees stay far above it.
constexpr int MaxDepth = 256;

// The kind of entry `entryName` in `dirFd`, from the type the directory gives when it gives one.
unsigned char entryType(int dirFd, const char* entryName, unsigned char givenType) {
  if (givenType != DT_UNKNOWN) return givenType;
  struct stat status;
  if (fstatat(dirFd, entryName, &status, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISREG(status.st_mode)) return DT_REG;
  if (S_ISDIR(status.st_mode)) return DT_DIR;
  return DT_UNKNOWN;
}

void reportPath(Walk* walk, std::string_view what, std::string_view path, int code) {
  walk->say(false, "dir: " + std::string(what) + " \"" + std::string(path) +
                       "\": " + systemErrorText(code));
}

// A directory unreadable by permission is the user's choice and only noted on standard error.
// Any other failure (no descriptor or memory to spare, an I/O error) is the walk's own: the
// lists below the directory go unchecked, which the console must say.
void reportUnread(Walk* walk, std::string_view what, std::string_view path, int code) {
  if (code == EACCES || code == EPERM) {
    reportPath(walk, what, path, code);
    return;
  }
  walk->ownFailure = true;
  walk->say(true, "The search could not read " + std::string(path) + ": " + systemErrorText(code) +
                      "; the lists below it are not checked");
}

// What one directory holds for the walk: its subdirectory names, each NUL-terminated, in one
// buffer (`starts` indexes them), and whether it holds a regular file of the name looked for.
struct DirectoryEntries {
  std::string names;
  std::vector<std::uint32_t> starts;
  bool ownMatch = false;

  void add(const Walk* walk, int dirFd, const char* entryName, unsigned char givenType) {
    if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) return;
    bool named = walk->name == entryName;
    if (!named && givenType != DT_DIR && givenType != DT_UNKNOWN) return;
    unsigned char type = entryType(dirFd, entryName, givenType);
    if (type == DT_DIR) {
      starts.push_back(static_cast<std::uint32_t>(names.size()));
      names.append(entryName);
      names.push_back('\0');
    } else if (type == DT_REG && named) {
      ownMatch = true;
    }
  }
};

#if defined(__linux__) && defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 30)
// Reads every entry of the directory open on `dirFd` straight from the system, in one shared
// buffer: a directory stream would cost a duplicate descriptor and three more system calls per
// directory, on trees of tens of thousands of them. Returns 0, or an errno value after an
// entry could not be read (the entries before it are kept); `dirFd` stays open.
int readDirectory(const Walk* walk, int dirFd, DirectoryEntries* entries) {
  alignas(dirent64) thread_local char buffer[32 * 1024];
  for (;;) {
    const ssize_t got = getdents64(dirFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t offset = 0; offset < got;) {
      const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      entries->add(walk, dirFd, entry->d_name, entry->d_type);
      offset += entry->d_reclen;
    }
  }
}
#else
// Reads every entry of the directory open on `dirFd` through a directory stream on a duplicate
// of it. Returns 0; an errno value when an entry could not be read (the entries before it are
// kept); minus an errno value when no stream could be made. `dirFd` stays open.
int readDirectory(const Walk* walk, int dirFd, DirectoryEntries* entries) {
  int readFd = dup(dirFd);
  DIR* stream = readFd < 0 ? nullptr : fdopendir(readFd);
  if (stream == nullptr) {
    int code = errno;
    if (readFd >= 0) close(readFd);
    return -(code == 0 ? EIO : code);
  }
  int code = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream);
    if (entry == nullptr) {
      code = errno;
      break;
    }
    entries->add(walk, dirFd, entry->d_name, entry->d_type);
  }
  closedir(stream);
  return code;
}
#endif

// Adds `name` to `path` as its last component.
void enter(std::string* path, std::string_view name) {
  if (path->empty() || path->back() != '/') path->push_back('/');
  path->append(name);
}

// Writes the path of the file looked for in the directory at `path` to the listing; `path` is
// as it was after.
void listOwnMatch(Walk* walk, std::string* path) {
  const std::size_t pathLength = path->size();
  enter(path, walk->name);
  if (path->find('\r') != std::string::npos || path->find('\n') != std::string::npos) {
    walk->say(false, "dir: left out a path holding a line break: \"" + *path + "\"");
  } else {
    walk->add(*path);
    walk->add("\r\n");
    ++walk->matches;
  }
  path->resize(pathLength);
}

// A directory opened beneath its parent and read: by a thread ahead of the walk, or by the walk.
struct DirectoryRead {
  int fd = -1;
  int openError = 0;  // why it could not be opened
  int readCode = 0;   // readDirectory's
  DirectoryEntries entries;
};

void openAndRead(const Walk* walk, int parentFd, const char* name, DirectoryRead* read) {
  read->fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (read->fd < 0) {
    read->openError = errno;
    return;
  }
  read->readCode = readDirectory(walk, read->fd, &read->entries);
}

void walkRead(Walk* walk, DirectoryRead& read, std::string* path);

// openAndRead on the walk's own thread, timed. Once the walk's reads take long on average, the
// threads that read ahead are started and no more parts are handed out (a part whose reads
// prove slow gives up, leaving the rest to the walk and its threads); once they prove fast, the
// threads that walk parts are.
void readHere(Walk* walk, int parentFd, const char* name, DirectoryRead* read) {
  constexpr std::size_t Sample = 16;
  constexpr auto SlowRead = std::chrono::milliseconds(1);
  constexpr auto FastRead = std::chrono::microseconds(100);
  const auto started = std::chrono::steady_clock::now();
  openAndRead(walk, parentFd, name, read);
  if (walk->ahead != nullptr || (walk->threads == nullptr && !walk->isPart())) return;
  walk->readTime += std::chrono::steady_clock::now() - started;
  if (++walk->reads < Sample) return;
  Forks* forks = walk->forks;
  if (walk->readTime >= walk->reads * SlowRead) {
    if (forks != nullptr) forks->slow = true;
    if (walk->isPart()) {
      walk->givenUp = true;
    } else {
      walk->threads->emplace(machineThreads());
      walk->ahead = &**walk->threads;
    }
  } else if (walk->readTime < walk->reads * FastRead && forks != nullptr && !walk->isPart() &&
             !forks->threads && !forks->slow) {
    forks->threads.emplace(forks->most);
  }
  walk->reads = 0;
  walk->readTime = {};
}

// Walks subdirectory `i` of the directory open on `dirFd`; `read` holds it when a thread has read
// it ahead (`readAlready`). A part that has given up only closes what was read for it.
void walkSubdirectory(Walk* walk,
                      int dirFd,
                      const DirectoryEntries& entries,
                      std::size_t i,
                      DirectoryRead& read,
                      bool readAlready,
                      std::string* path) {
  // An interrupted run ends at once: what was read ahead is closed, the rest is not read.
  if (runInterrupted() || walk->givenUp) {
    if (read.fd >= 0) close(read.fd);
    return;
  }
  // No descriptor to spare while others were read ahead: tried again now.
  if (readAlready && read.fd < 0 && (read.openError == EMFILE || read.openError == ENFILE)) {
    readAlready = false;
    read = DirectoryRead{};
  }
  const char* name = entries.names.c_str() + entries.starts[i];
  if (!readAlready) readHere(walk, dirFd, name, &read);
  // A part holds descriptors beside the walk's: where none is left the walk tries for itself.
  if (walk->isPart() && read.fd < 0 && (read.openError == EMFILE || read.openError == ENFILE)) {
    walk->givenUp = true;
    return;
  }
  const std::size_t pathLength = path->size();
  enter(path, name);
  if (read.fd >= 0) {
    ++walk->depth;
    walkRead(walk, read, path);
    --walk->depth;
  } else if (read.openError != ELOOP && read.openError != ENOTDIR) {
    // ELOOP, ENOTDIR: replaced by a link or a file since it was read; not ours to list.
    reportUnread(walk, "cannot open directory", *path, read.openError);
  }
  path->resize(pathLength);
}

// The second half of a directory's subdirectories, walked by another thread: what it found, and
// how far it got (the subdirectories before `walkedTo` are walked whole).
struct WalkPart {
  std::string_view name;
  Forks* forks = nullptr;
  int depth = 0;
  std::string path;
  std::size_t first = 0;
  std::size_t end = 0;
  std::size_t walkedTo = 0;
  ListOutput output;
  std::vector<Said> said;
  std::size_t matches = 0;
  bool ownFailure = false;
};

// A part's work: its subdirectories in order, each kept only when walked whole.
void walkPart(int dirFd, const DirectoryEntries& entries, WalkPart* part) {
  Walk walk{part->name, &part->output};
  walk.depth = part->depth;
  walk.forks = part->forks;
  walk.said = &part->said;
  for (std::size_t i = part->first; i < part->end; ++i) {
    const std::size_t bytes = part->output.buffer.size();
    const std::size_t messages = part->said.size();
    const std::size_t saidBytes = walk.saidBytes;
    const std::size_t matches = walk.matches;
    const bool ownFailure = walk.ownFailure;
    DirectoryRead read;
    walkSubdirectory(&walk, dirFd, entries, i, read, false, &part->path);
    if (walk.givenUp || runInterrupted()) {
      part->output.buffer.resize(bytes);
      part->said.resize(messages);
      walk.saidBytes = saidBytes;
      walk.matches = matches;
      walk.ownFailure = ownFailure;
      break;
    }
    part->walkedTo = i + 1;
  }
  part->matches = walk.matches;
  part->ownFailure = walk.ownFailure;
}

// Adds what a part found to the walk, as if the walk had found it there.
void takeInPart(Walk* walk, WalkPart& part) {
  walk->add(part.output.buffer);
  for (Said& said : part.said) walk->say(said.onConsole, std::move(said.text));
  walk->matches += part.matches;
  walk->ownFailure = walk->ownFailure || part.ownFailure;
}

// Hands the second half of the subdirectories from `from` on to a thread that walks parts, when
// one is to spare and the half is worth it. The part's ticket, or nothing.
std::optional<TaskStack::Ticket> handOutPart(Walk* walk,
                                             int dirFd,
                                             const DirectoryEntries& entries,
                                             const std::string& path,
                                             std::size_t from,
                                             std::optional<WalkPart>& part) {
  constexpr std::size_t FewestForTwoHalves = 4;
  Forks* forks = walk->forks;
  const std::size_t count = entries.starts.size();
  if (forks == nullptr || count - from < FewestForTwoHalves || !forks->threads || forks->slow ||
      walk->givenUp || forks->outstanding >= forks->most) {
    return std::nullopt;
  }
  part.emplace();
  part->name = walk->name;
  part->forks = forks;
  part->depth = walk->depth;
  part->path = path;
  part->first = part->walkedTo = from + (count - from) / 2;
  part->end = count;
  ++forks->outstanding;
  WalkPart* handed = &*part;
  return forks->threads->push([dirFd, &entries, handed, forks] {
    walkPart(dirFd, entries, handed);
    --forks->outstanding;
  });
}

// Walks the subdirectories of the directory open on `dirFd` (at `path`) in the order of their
// names, unless the walk is as deep as it goes. The first of them are read ahead, as far as the
// walk's limit allows; or, once a thread that walks parts is to spare, the second half of those
// not yet walked is a part for it. Each is taken back (or waited for) before it is walked.
void walkSubdirectories(Walk* walk, int dirFd, DirectoryEntries& entries, std::string* path) {
  std::vector<std::uint32_t>& starts = entries.starts;
  if (!starts.empty() && walk->depth >= MaxDepth) {
    walk->say(false, "dir: left out the directories in \"" + *path + "\": nested more than " +
                         std::to_string(MaxDepth) + " levels deep");
    return;
  }
  const std::string& names = entries.names;
  auto nameAt = [&](std::uint32_t start) { return std::string_view(names.c_str() + start); };
  std::sort(starts.begin(), starts.end(),
            [&](std::uint32_t a, std::uint32_t b) { return nameAt(a) < nameAt(b); });
  std::optional<WalkPart> part;
  std::optional<TaskStack::Ticket> partTicket;
  std::size_t own = starts.size();
  std::vector<DirectoryRead> reads(own);
  std::vector<TaskStack::Ticket> tickets;
  if (walk->ahead != nullptr) {
    const std::size_t room = walk->aheadLimit - walk->aheadNow;
    // The last first: the stack's threads take the first of them first.
    for (std::size_t i = std::min(room, own); i-- > 0;) {
      const char* name = names.c_str() + starts[i];
      DirectoryRead* read = &reads[i];
      tickets.push_back(
          walk->ahead->push([walk, dirFd, name, read] { openAndRead(walk, dirFd, name, read); }));
    }
    std::reverse(tickets.begin(), tickets.end());
    walk->aheadNow += tickets.size();
  }
  for (std::size_t i = 0; i < own; ++i) {
    if (!partTicket && (partTicket = handOutPart(walk, dirFd, entries, *path, i, part))) {
      own = part->first;
    }
    bool readAlready = false;
    if (i < tickets.size()) {
      --walk->aheadNow;
      readAlready = walk->ahead->take(tickets[i]);
    }
    walkSubdirectory(walk, dirFd, entries, i, reads[i], readAlready, path);
  }
  if (!partTicket) return;
  std::size_t rest = own;
  if (walk->forks->threads->take(*partTicket)) {
    takeInPart(walk, *part);
    rest = part->walkedTo;
  } else {
    --walk->forks->outstanding;
  }
  for (std::size_t i = rest; i < starts.size(); ++i) {
    DirectoryRead read;
    walkSubdirectory(walk, dirFd, entries, i, read, false, path);
  }
}

// Lists the directory read into `read` (whose absolute path is `path`) and everything below it;
// closes it.
void walkRead(Walk* walk, DirectoryRead& read, std::string* path) {
  if (read.readCode < 0) {
    close(read.fd);
    reportUnread(walk, "cannot read directory", *path, -read.readCode);
    return;
  }
  if (read.readCode > 0) reportUnread(walk, "cannot read all of directory", *path, read.readCode);
  if (read.entries.ownMatch) listOwnMatch(walk, path);
  walkSubdirectories(walk, read.fd, read.entries, path);
  close(read.fd);
}

// Lists the directory open on `dirFd` (whose absolute path is `path`) and everything below it.
// Takes `dirFd` over and closes it.
void walkDirectory(Walk* walk, int dirFd, std::string* path) {
  if (runInterrupted()) {
    close(dirFd);
    return;
  }
  DirectoryRead read;
  read.fd = dirFd;
  read.readCode = readDirectory(walk, dirFd, &read.entries);
  walkRead(walk, read, path);
}

// How many directories may be read ahead: each holds a descriptor until it is walked, beside the
// walk's own (one per level, up to MaxDepth). None when the limit on open files is low.
std::size_t directoriesAhead() {
  constexpr std::size_t Most = 64;
  const std::size_t limit = openFileLimit();
  const std::size_t spare = limit > 2 * MaxDepth ? (limit - 2 * MaxDepth) / 2 : 0;
  return std::min(spare, Most);
}

// How many parts of the walk other threads may walk at once: one a core beside the walk's own,
// each holding up to one descriptor a level beside the walk's.
std::size_t partWalkers() {
  const std::size_t limit = openFileLimit();
  const std::size_t spare = limit > 2 * MaxDepth ? limit - 2 * MaxDepth : 0;
  return std::min(machineCores() - 1, spare / (MaxDepth + 1));
}

// The current directory's absolute path; empty with `errno` set when it cannot be had.
std::string currentDirectory() {
  std::string path(4096, '\0');
  for (;;) {
    if (getcwd(path.data(), path.size()) != nullptr) {
      path.resize(std::strlen(path.c_str()));
      return path;
    }
    if (errno != ERANGE) return std::string();
    path.resize(path.size() * 2);
  }
}

}  // namespace

namespace {

ListFileMade listFileMade;

}  // namespace

const ListFileMade& lastListFileMade() { return listFileMade; }

int listFilesNamed(const std::string& name, const std::string& listFile) {
  ListOutput output;
  // Made anew, this user's alone: whatever held the name (a stale list, a file another user
  // prepared and may hold open, a link, a FIFO) is removed first, never written through.
  listFileMade = ListFileMade{listFile, {}};
  struct stat& made = listFileMade.state;
  output.fd =
      createPrivateFile(AT_FDCWD, listFile, O_WRONLY | O_NOFOLLOW | O_CLOEXEC, false, &made);
  if (output.fd < 0) {
    int code = errno;
    std::string why = code == EISDIR ? "it is a directory" : systemErrorText(code);
    reportCommandError("dir: cannot write \"" + listFile + "\": " + why);
    return 1;
  }
  std::string path = currentDirectory();
  int rootFd = path.empty() ? -1 : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Walk walk{name, &output};
  std::optional<TaskStack> threads;
  Forks forks;
  if (const std::size_t limit = directoriesAhead(); limit > 0) {
    walk.threads = &threads;
    walk.aheadLimit = limit;
    forks.most = partWalkers();
    if (forks.most > 0) walk.forks = &forks;
  }
  if (rootFd < 0) {
    reportUnread(&walk, "cannot read the current directory", path.empty() ? "." : path, errno);
  } else if (name.empty() || name.find('/') != std::string::npos) {
    // No directory entry can have such a name.
    close(rootFd);
  } else {
    walkDirectory(&walk, rootFd, &path);
  }
  output.flush();
  int closeError = close(output.fd) == 0 ? 0 : errno;
  if (output.writeError != 0 || closeError != 0) {
    reportCommandError("dir: cannot write \"" + listFile + "\": " +
                       systemErrorText(output.writeError != 0 ? output.writeError : closeError));
    // What was written names only some of the files: the file list made here is not left behind
    // (a file put at its name since is not this command's to remove).
    struct stat named {};
    if (lstat(listFile.c_str(), &named) == 0 && named.st_dev == made.st_dev &&
        named.st_ino == made.st_ino) {
      unlink(listFile.c_str());
    }
    return 1;
  }
  // Nothing found because a directory could not be read is not "nothing there"; an interrupted
  // walk found what it found.
  if (walk.matches == 0 && !walk.ownFailure && !runInterrupted()) {
    reportCommandError("File Not Found");
  }
  return 0;
}
