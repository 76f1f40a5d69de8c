// Messages for a terminal: the console's filter decides what a terminal would act on; a message
// is one line, so the line ends it lets through become "?" too.
#include "console/terminal_text.h"

#include <string>
#include <string_view>

#include "commands/command_processor.h"

std::string terminalSafeText(std::string_view text) {
  std::string safe(text.size() + TerminalTextCarry, '\0');
  TerminalTextState state{};
  std::size_t length = filterTerminalText(state, text.data(), text.size(), safe.data());
  length += finishTerminalText(state, safe.data() + length);
  safe.resize(length);
  for (char& byte : safe) {
    if (byte == '\r' || byte == '\n') byte = '?';
  }
  return safe;
}
