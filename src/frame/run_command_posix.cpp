// POSIX command execution: no shell is ever started. The built-in command processor carries out
// the few command lines the cleaning run issues, in this process.
#include <string_view>

#include "commands/command_processor.h"
#include "console/console_writer.h"
#include "frame/run_command.h"

int runCommand(Text command) {
  if (command.empty()) return -1;
  std::string_view line(command);
  line = line.substr(0, line.find('\0'));
  // Everything printed so far must stand before what the command prints.
  consoleFlush();
  return runBuiltinCommand(line);
}
