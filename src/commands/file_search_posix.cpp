// POSIX: the built-in directory search ends with success when it finds nothing, so a failure
// always means the file list could not be written.
#include "commands/command_processor_posix.h"
#include "commands/file_search.h"
#include "commands/run_command.h"

int runFileSearch(std::string_view listName, const std::string& fileList) {
  return runCommand("dir " + std::string(listName) + " /s/b > " + fileList);
}

bool searchFoundNothing(const std::string&) { return false; }

std::string searchFailure(const std::string& fileList) {
  return "Cannot write the file list " + fileList;
}

bool searchWrote(const std::string& fileList, const FileState& opened) {
  const ListFileMade& made = lastListFileMade();
  return made.name == fileList && made.state.st_ino != 0 &&
         opened.device == static_cast<std::uint64_t>(made.state.st_dev) &&
         opened.fileIndex == static_cast<std::uint64_t>(made.state.st_ino);
}
