// The command line's few forms. Nothing here touches the current directory: help, the version
// and a refusal are answered before the run opens its log or searches for lists.
#include "frame/command_options.h"

#include <cstdio>
#include <string>

#include "system/system_error.h"

namespace {

constexpr std::string_view HelpText =
    "Usage: chklist\n"
    "\n"
    "Cleans the address lists below the current directory. chklist finds every\n"
    "blacklist.txt and then every whitelist.txt in the current directory and all its\n"
    "subdirectories, and rewrites each so that only the lines that are at least 7 bytes\n"
    "long and hold an \"@\" remain, each ending in CR LF.\n"
    "\n"
    "Every line it drops is appended, with the date, the time and the list's path, to\n"
    "chklist.log in the current directory. While it runs it also writes blist.dir and\n"
    "wlist.dir there, and each cleaned copy beside its list, and removes them when done.\n"
    "\n"
    "It takes no other arguments: to clean another directory, cd DIR && chklist.\n"
    "\n"
    "Options:\n"
    "  -n, --dry-run  search and check as a run does, but change nothing: the records\n"
    "                 the run would append to chklist.log go to standard output, the\n"
    "                 lists a run would not clean to standard error\n"
    "  -h, --help     show this text and change nothing\n"
    "  --version      show the version and change nothing\n"
    "\n"
    "The manual page (man chklist) and README.md say more.\n";

bool isHelpOption(std::string_view argument) {
  return argument == "--help" || argument == "-h" || isPlatformHelpOption(argument);
}

// Writes `text` to `stream` and pushes it out. True when all of it was written; otherwise false
// with the system's error code in `error`.
bool writeText(std::FILE* stream, std::string_view text, int& error) {
  if (std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0) {
    return true;
  }
  error = lastSystemError();
  return false;
}

// Prints what was asked for on standard output. Exit code 0 once it is written; otherwise 1, with
// one line on standard error: a script must not take a help text or version it never got.
int answerOnStandardOutput(std::string_view text) {
  int error = 0;
  if (writeText(stdout, text, error)) return 0;
  const std::string line =
      "chklist: write error" + (error != 0 ? ": " + systemErrorText(error) : std::string()) + "\n";
  writeText(stderr, line, error);
  return 1;
}

}  // namespace

CommandRequest requestOf(int argumentCount, const char* const* arguments) {
  if (argumentCount <= 0) return CommandRequest::Clean;
  if (argumentCount > 1) return CommandRequest::Refused;
  const std::string_view only = arguments[0];
  if (isHelpOption(only)) return CommandRequest::Help;
  if (only == "--version") return CommandRequest::Version;
  if (only == "--dry-run" || only == "-n") return CommandRequest::Preview;
  return CommandRequest::Refused;
}

int answerRequest(CommandRequest request, int argumentCount, const char* const* arguments) {
  switch (request) {
    case CommandRequest::Help:
      return answerOnStandardOutput(HelpText);
    case CommandRequest::Version:
      return answerOnStandardOutput("chklist " CHKLIST_VERSION "\n");
    case CommandRequest::Clean:
    case CommandRequest::Preview:
    case CommandRequest::Refused:
      break;
  }
  // The first argument is named: with more than one, it is where the command line went wrong.
  const std::string line = "chklist: unexpected argument '" +
                           std::string(argumentCount > 0 ? arguments[0] : "") +
                           "': chklist takes none and cleans the current directory "
                           "(cd DIR && chklist); nothing was changed\n";
  int error = 0;
  writeText(stderr, line, error);
  return 2;
}
