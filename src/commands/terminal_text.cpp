// Making a text safe to show on a terminal: the built-in commands' messages name paths, and a
// path must not be able to move the cursor, retitle the window or switch character sets.
#include <cstddef>
#include <string>
#include <string_view>

#include "commands/command_processor.h"

namespace {

// The length of the valid UTF-8 sequence starting at `text[at]`, or 0 when it is not valid
// (bad lead byte, missing continuation, overlong form, surrogate, beyond U+10FFFF).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  std::size_t length = 0;
  char32_t low = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, low = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, low = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, low = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  char32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string terminalSafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      bool control = (byte < 0x20 && byte != '\t') || byte == 0x7F;
      safe.push_back(control ? '?' : static_cast<char>(byte));
      ++at;
      continue;
    }
    std::size_t length = utf8SequenceLength(text, at);
    // U+0080 to U+009F, the C1 controls, encode as C2 80 to C2 9F.
    bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || c1) {
      safe.push_back('?');
      at += length == 0 ? 1 : length;
      continue;
    }
    safe.append(text.substr(at, length));
    at += length;
  }
  return safe;
}
