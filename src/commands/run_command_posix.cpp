// POSIX command execution: no shell is ever started. The built-in command processor carries out
// the few command lines the cleaning run issues, in this process.
#include <time.h>

#include <cerrno>
#include <string_view>

#include "commands/command_processor_posix.h"
#include "commands/run_command.h"
#include "console/console_writer.h"

int runCommand(std::string command) {
  if (command.empty()) return -1;
  std::string_view line(command);
  line = line.substr(0, line.find('\0'));
  // Everything printed so far must stand before what the command prints.
  consoleFlush();
  return runBuiltinCommand(line);
}

const char* commandRefusesPath(std::string_view path) {
  // One search per byte looked for: find_first_of would search the set once per byte of the path.
  for (const char refused : {'\0', '\r', '\n'}) {
    if (path.find(refused) != std::string_view::npos) {
      return "its name cannot be passed to the command processor";
    }
  }
  return nullptr;
}

int removeOwnFile(std::string_view name) { return runCommand("del " + std::string(name)); }

void waitMilliseconds(int milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
