// The built-in commands' one-line messages on standard error (POSIX): each written with one
// write, made safe for a terminal when standard error is one.
#include <errno.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "commands/command_processor.h"

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
  std::string_view rest(line);
  while (!rest.empty()) {
    ssize_t written = write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}
