// POSIX: the built-in replacement, renaming into the held directory's descriptor.
#include <fcntl.h>
#include <sys/stat.h>

#include "cleaning/list_replacement.h"
#include "commands/command_processor.h"

namespace {

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
                            const std::string&,
                            const ListFileState& listState,
                            const ListFileState& copyState,
                            std::string& reason) {
  const ReplaceCheck check = [&](const struct stat& copy, const struct stat& list) {
    return sameFile(copy, copyState) && unchanged(list, listState);
  };
  switch (replaceFileAt(AT_FDCWD, "list.tmp", directory.descriptor, leaf, &check, &reason)) {
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
