// Fuzzes the built-in command processor's grammar. Whatever the line, parsing must not crash,
// and every path it returns must be a piece of the line's own text: nothing is invented, joined
// or expanded. The first byte of an input chooses a second check: a removal line built for a
// path, "del "PATH"", must give back PATH exactly for every path the run lets through.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "commands/command_processor_posix.h"
#include "commands/run_command.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "command line grammar: %s\n", what);
  std::abort();
}

void checkAnyLine(std::string_view line) {
  ParsedCommand command;
  std::string error;
  if (!parseCommandLine(line, &command, &error)) {
    if (error.empty()) fail("refused without a reason");
    if (error.find_first_of("\r\n") != std::string::npos) fail("reason of more than one line");
    return;
  }
  if (line.find(command.first) == std::string_view::npos) fail("first path not in the line");
  if (line.find(command.second) == std::string_view::npos) fail("second path not in the line");
  // An empty path can only come from an empty pair of quotes.
  const bool emptyQuotes = line.find("\"\"") != std::string_view::npos;
  if (command.first.empty() && !emptyQuotes) fail("empty first path without quotes");
  if (command.verb == CommandVerb::Del) {
    if (!command.second.empty()) fail("del with two paths");
  } else if (command.second.empty() && !emptyQuotes) {
    fail("empty second path without quotes");
  }
}

void checkRemovalLine(std::string_view path) {
  if (commandRefusesPath(path) != nullptr) return;
  const std::string line = "del \"" + std::string(path) + "\"";
  ParsedCommand command;
  std::string error;
  if (!parseCommandLine(line, &command, &error)) fail("removal line refused");
  if (command.verb != CommandVerb::Del) fail("removal line is not a del");
  if (command.first != path) fail("removed path is not the path");
  checkAnyLine(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  checkAnyLine(rest);
  if (data[0] & 1) checkRemovalLine(rest);
  return 0;
}
