// Makes bytes safe to show on a terminal: everything a terminal would execute as a control
// sequence, and every byte that is not part of valid UTF-8, becomes "?". Byte for byte, so the
// length never changes; a character split between two calls is judged once it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The bytes of an unfinished UTF-8 character carried from one call to the next.
struct TerminalTextState {
  unsigned char carried[3];
  std::uint8_t carriedCount;  // 0 to 3
};

// The most bytes filterTerminalText can produce beyond `count`: the held bytes of the last call.
constexpr std::size_t TerminalTextCarry = 3;

// Copies `count` bytes to `out`, each kept or replaced by "?": kept are printable ASCII, LF, CR
// and complete well-formed UTF-8 characters other than the C1 controls U+0080 to U+009F and the
// bidirectional controls U+202A to U+202E and U+2066 to U+2069. A valid but unfinished character at
// the end is held in `state` and not written yet. Returns the number of bytes put in `out` (at most
// count + TerminalTextCarry).
std::size_t filterTerminalText(TerminalTextState& state,
                               const char* bytes,
                               std::size_t count,
                               char* out);

// Writes one "?" per held byte to `out` (room for TerminalTextCarry) and clears `state`; for the
// end of output, when no continuation can come. Returns the number of bytes put in `out`.
std::size_t finishTerminalText(TerminalTextState& state, char* out);

// `text` as one line of a message: every byte that a terminal would act on replaced by "?" (the
// C0 controls, DEL, the C1 controls U+0080 to U+009F, the bidirectional controls U+202A to
// U+202E and U+2066 to U+2069, bytes that are not valid UTF-8), CR and LF too.
std::string terminalSafeText(std::string_view text);
