// The built-in commands' one-line messages on standard error or the console (POSIX): each
// written with one write, made safe for a terminal when it goes to one.
#include <unistd.h>

#include <string>
#include <string_view>

#include "commands/command_processor_posix.h"
#include "system/write_all_posix.h"

namespace {

// One message line in one write: made safe for a terminal when `descriptor` is one; otherwise
// only its line breaks become "?", so that it stays one line.
void writeMessageLine(int descriptor, std::string_view message, std::string_view lineEnd) {
  std::string line;
  if (isatty(descriptor) == 1) {
    line = terminalSafeText(message);
  } else {
    line.assign(message);
    for (char& byte : line) {
      if (byte == '\r' || byte == '\n') byte = '?';
    }
  }
  line += lineEnd;
  writeAll(descriptor, line.data(), line.size());
}

}  // namespace

void reportCommandError(std::string_view message) {
  writeMessageLine(STDERR_FILENO, message, "\n");
}

void reportOnConsole(std::string_view message) { writeMessageLine(STDOUT_FILENO, message, "\r\n"); }
