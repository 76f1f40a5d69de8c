// The built-in commands' one-line messages on standard error (POSIX): each written with one
// write, made safe for a terminal when standard error is one.
#include <unistd.h>

#include <string>
#include <string_view>

#include "commands/command_processor.h"
#include "status/write_all.h"

void reportCommandError(std::string_view message) {
  std::string line;
  if (isatty(STDERR_FILENO) == 1) {
    line = terminalSafeText(message);
  } else {
    line.assign(message);
    for (char& byte : line) {
      if (byte == '\r' || byte == '\n') byte = '?';
    }
  }
  line.push_back('\n');
  writeAll(STDERR_FILENO, line.data(), line.size());
}
