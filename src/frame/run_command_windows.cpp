// Windows command execution: the system's command processor, through the standard library.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "console/console_writer.h"
#include "frame/run_command.h"

int runCommand(Text command) {
  if (command.empty()) return -1;
  // Everything printed so far must stand before what the command processor prints.
  consoleFlush();
  std::fflush(nullptr);
  return std::system(command.c_str());
}

bool commandCanCarryPath(std::string_view path) {
  return path.find_first_of(std::string_view("\0\r\n%\"", 5)) == std::string_view::npos;
}

void waitMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
