// The built-in command processor's grammar and dispatch: takes a command line apart into its
// verb and paths and hands them to the file operations. No byte of a path is ever interpreted.
//
// Grammar (the only lines understood; verbs and switches in any letter case):
//   line   := blank* verb (blank+ word)* blank*         blank: space or TAB
//   dir    := "dir" NAME "/s/b" ">" FILE
//   del    := "del" FILE
//   word   := plain | quoted
//   plain  := one or more bytes other than blank and '"'
//   quoted := '"' bytes other than '"' '"'             must be followed by a blank or the end
// The LAST word of a line (FILE) when quoted runs from its opening quote to the last '"' of
// the whole line, so it may itself hold '"' (POSIX names can); only blanks may follow it.
// A switch or ">" counts only unquoted: "/y" in quotes is a file named /y. A NUL byte, a missing
// or extra word, an unknown verb or switch, or an unterminated quote refuses the line.
#include <cstddef>
#include <string>
#include <string_view>

#include "commands/command_processor_posix.h"

namespace {

bool isBlank(char byte) { return byte == ' ' || byte == '\t'; }

bool equalsIgnoringCase(std::string_view word, std::string_view lowerCase) {
  if (word.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char byte = word[i];
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<char>(byte - 'A' + 'a');
    if (byte != lowerCase[i]) return false;
  }
  return true;
}

// Reads words off the front of a line.
struct WordReader {
  std::string_view line;
  std::size_t position = 0;

  void skipBlanks() {
    while (position < line.size() && isBlank(line[position])) ++position;
  }

  bool atEnd() {
    skipBlanks();
    return position == line.size();
  }

  // Reads the next word into `word`; `quoted` tells whether it was written in quotes. `last`:
  // the word ends the line, so a quoted one runs to the line's last quote. Returns false with a
  // reason in `error` when there is no word or it is malformed.
  bool next(std::string* word, bool* quoted, bool last, std::string* error) {
    if (atEnd()) {
      *error = "missing argument";
      return false;
    }
    if (line[position] == '"') {
      std::size_t open = position;
      std::size_t close = last ? line.rfind('"') : line.find('"', open + 1);
      if (close == std::string_view::npos || close == open) {
        *error = "unterminated quote";
        return false;
      }
      std::size_t after = close + 1;
      if (after < line.size() && !isBlank(line[after])) {
        *error = "text right after a closing quote";
        return false;
      }
      word->assign(line.substr(open + 1, close - open - 1));
      *quoted = true;
      position = after;
      return true;
    }
    std::size_t start = position;
    while (position < line.size() && !isBlank(line[position])) {
      if (line[position] == '"') {
        *error = "quote inside an unquoted word";
        return false;
      }
      ++position;
    }
    word->assign(line.substr(start, position - start));
    *quoted = false;
    return true;
  }
};

bool expectSwitch(WordReader* reader, std::string_view lowerCase, std::string* error) {
  std::string word;
  bool quoted = false;
  if (!reader->next(&word, &quoted, false, error)) return false;
  if (quoted || !equalsIgnoringCase(word, lowerCase)) {
    *error = "expected " + std::string(lowerCase);
    return false;
  }
  return true;
}

}  // namespace

bool parseCommandLine(std::string_view line, ParsedCommand* command, std::string* error) {
  if (line.find('\0') != std::string_view::npos) {
    *error = "NUL byte in command line";
    return false;
  }
  WordReader reader{line};
  if (reader.atEnd()) {
    *error = "empty command line";
    return false;
  }
  std::string verb;
  bool quoted = false;
  if (!reader.next(&verb, &quoted, false, error)) return false;
  ParsedCommand parsed;
  if (!quoted && equalsIgnoringCase(verb, "dir")) {
    parsed.verb = CommandVerb::Dir;
    if (!reader.next(&parsed.first, &quoted, false, error)) return false;
    if (!expectSwitch(&reader, "/s/b", error)) return false;
    if (!expectSwitch(&reader, ">", error)) return false;
    if (!reader.next(&parsed.second, &quoted, true, error)) return false;
  } else if (!quoted && equalsIgnoringCase(verb, "del")) {
    parsed.verb = CommandVerb::Del;
    if (!reader.next(&parsed.first, &quoted, true, error)) return false;
  } else {
    *error = "unknown command";
    return false;
  }
  if (!reader.atEnd()) {
    *error = "too many arguments";
    return false;
  }
  *command = std::move(parsed);
  return true;
}

int runBuiltinCommand(std::string_view line) {
  ParsedCommand command;
  std::string error;
  if (!parseCommandLine(line, &command, &error)) {
    std::string_view shown = line.substr(0, line.find('\0'));
    reportCommandError("cannot run \"" + std::string(shown) + "\": " + error);
    return 1;
  }
  switch (command.verb) {
    case CommandVerb::Dir:
      return listFilesNamed(command.first, command.second);
    case CommandVerb::Del:
      return deleteRegularFile(command.first);
  }
  return 1;
}
