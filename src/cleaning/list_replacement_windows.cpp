// Windows: the command processor's move, after a last look at the list file's state.
#include <windows.h>

#include "cleaning/list_replacement.h"
#include "frame/run_command.h"

Replacement replaceListFile(const HeldDirectory& directory,
                            const std::string& leaf,
                            const std::string& path,
                            const ListFileState& listState,
                            const ListFileState&,
                            std::string&) {
  ListFileState now;
  if (!readListFileState(directory, leaf, path, now) || !(now == listState)) {
    return Replacement::Changed;
  }
  // One overwriting move: at no moment is the list file missing. A command processor that
  // reports success without moving (wine's does, for a path it cannot reach) leaves list.tmp.
  if (runCommand("move /y list.tmp \"" + path + "\"") != 0) return Replacement::Failed;
  return GetFileAttributesA("list.tmp") == INVALID_FILE_ATTRIBUTES ? Replacement::Done
                                                                   : Replacement::Failed;
}

std::vector<UnsettledReplacement> settleReplacements() {
  // The command processor's move is as durable as the file system makes a rename: NTFS journals
  // it, and no directory can be flushed through the Windows API.
  return {};
}
