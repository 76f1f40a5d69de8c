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

const char* commandRefusesPath(std::string_view path) {
  // One search per byte looked for: find_first_of would search the set once per byte of the path.
  for (const char refused : {'\0', '\r', '\n', '%', '"'}) {
    if (path.find(refused) != std::string_view::npos) {
      return "its name cannot be passed to the command processor";
    }
  }
  // The command processor's "move" refuses a path of MAX_PATH characters or more as too long
  // (wine's even ends with success all the same): such a list file could never be replaced.
  const int characters =
      MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  return characters < MAX_PATH ? nullptr : "its path is too long";
}

void waitMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
