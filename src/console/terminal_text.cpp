// The terminal filter behind the byte path on a terminal: a UTF-8 decoder that judges each
// byte, kept apart from any output so that it can be tested on its own.
#include "console/terminal_text.h"

namespace {

// How many continuation bytes follow `lead`; -1 when it starts no well-formed character.
int continuationCount(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 1;
  if (lead >= 0xE0 && lead <= 0xEF) return 2;
  if (lead >= 0xF0 && lead <= 0xF4) return 3;
  return -1;
}

// Whether `byte` may stand at `position` (1 to 3) of the character that `lead` starts. The
// second byte's range rules out overlong forms, surrogates, code points past U+10FFFF and the C1
// controls U+0080 to U+009F (C2 80 to C2 9F), which some terminals execute.
bool fitsAt(unsigned char lead, int position, unsigned char byte) {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (position == 1) {
    if (lead == 0xC2) low = 0xA0;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  return byte >= low && byte <= high;
}

// Printable ASCII and the two line-ending bytes. BEL, BS and TAB are controls too: in a name
// they ring, or move the cursor over what was shown, and the program writes none of them itself.
bool isSafeAscii(unsigned char byte) {
  return (byte >= 0x20 && byte < 0x7F) || byte == 10 || byte == 13;
}

// Whether the three-byte character `lead second last` is a bidirectional embedding, override or
// isolate (U+202A to U+202E, U+2066 to U+2069): in a name, it shows the text after it reordered.
bool isBidiControl(unsigned char lead, unsigned char second, unsigned char last) {
  if (lead != 0xE2) return false;
  return (second == 0x80 && last >= 0xAA && last <= 0xAE) ||
         (second == 0x81 && last >= 0xA6 && last <= 0xA9);
}

}  // namespace

std::size_t filterTerminalText(TerminalTextState& state,
                               const char* bytes,
                               std::size_t count,
                               char* out) {
  std::size_t produced = 0;
  std::size_t index = 0;
  while (index < count) {
    const unsigned char byte = static_cast<unsigned char>(bytes[index]);
    if (state.carriedCount > 0) {
      const unsigned char lead = state.carried[0];
      if (!fitsAt(lead, state.carriedCount, byte)) {
        // The held bytes start nothing valid: each shows as "?", and this byte is judged anew.
        for (int i = 0; i < state.carriedCount; ++i) out[produced++] = '?';
        state.carriedCount = 0;
        continue;
      }
      ++index;
      if (state.carriedCount == continuationCount(lead)) {
        if (state.carriedCount == 2 && isBidiControl(lead, state.carried[1], byte)) {
          for (int i = 0; i <= state.carriedCount; ++i) out[produced++] = '?';
        } else {
          for (int i = 0; i < state.carriedCount; ++i)
            out[produced++] = static_cast<char>(state.carried[i]);
          out[produced++] = static_cast<char>(byte);
        }
        state.carriedCount = 0;
      } else {
        state.carried[state.carriedCount++] = byte;
      }
      continue;
    }
    ++index;
    if (byte < 0x80) {
      out[produced++] = isSafeAscii(byte) ? static_cast<char>(byte) : '?';
    } else if (continuationCount(byte) > 0) {
      state.carried[0] = byte;
      state.carriedCount = 1;
    } else {
      out[produced++] = '?';
    }
  }
  return produced;
}

std::size_t finishTerminalText(TerminalTextState& state, char* out) {
  std::size_t produced = state.carriedCount;
  for (std::size_t i = 0; i < produced; ++i) out[i] = '?';
  state.carriedCount = 0;
  return produced;
}

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
