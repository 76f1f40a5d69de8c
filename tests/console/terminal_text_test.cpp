// The terminal filter: which bytes reach a terminal unchanged and which show as "?".
#include "console/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Filters `input` in pieces cut at `cuts` (ascending positions), then finishes.
std::string filterInPieces(const std::string& input, std::initializer_list<std::size_t> cuts) {
  TerminalTextState state = {};
  std::string shown;
  char out[64];
  std::size_t from = 0;
  auto piece = [&](std::size_t to) {
    const std::size_t produced = filterTerminalText(state, input.data() + from, to - from, out);
    shown.append(out, produced);
    from = to;
  };
  for (std::size_t cut : cuts) piece(cut);
  piece(input.size());
  shown.append(out, finishTerminalText(state, out));
  return shown;
}

std::string filterWhole(const std::string& input) { return filterInPieces(input, {}); }

TEST(TerminalText, EachByteIsKeptOrShownAsAQuestionMark) {
  struct Case {
    const char* what;
    std::string input;
    std::string shown;
  };
  const Case cases[] = {
      {"printable ASCII", "Checking a/b-list.txt ~", "Checking a/b-list.txt ~"},
      {"line ends", "a\r\nb\r\n", "a\r\nb\r\n"},
      {"bell, backspace, tab", "d\x07\b\tx", "d???x"},
      {"left-to-right embedding", "a\xe2\x80\xaaz", "a???z"},
      {"right-to-left override", "a\xe2\x80\xaez", "a???z"},
      {"pop directional formatting", "\xe2\x80\xac", "???"},
      {"left-to-right isolate", "\xe2\x81\xa6", "???"},
      {"pop directional isolate", "\xe2\x81\xa9", "???"},
      {"next to the bidi controls", "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
       "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
      {"title change", "\x1b]0;owned\x07", "?]0;owned?"},
      {"clear screen", "\x1b[2J\x1b[H", "?[2J?[H"},
      {"other C0 bytes", std::string("\0\x01\x0b\x0c\x0e\x1a\x1f", 7), "???????"},
      {"DEL", "a\x7fz", "a?z"},
      {"two-byte character", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"no-break space", "\xc2\xa0", "\xc2\xa0"},
      {"three-byte character", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"four-byte character", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"highest code point", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"raw C1 CSI", "\x9bH", "?H"},
      {"raw C1 OSC and ST", "\x9d;x\x9c", "?;x?"},
      {"encoded C1 CSI", "\xc2\x9bH", "??H"},
      {"encoded NEL", "\xc2\x85", "??"},
      {"overlong slash, two bytes", "\xc0\xaf", "??"},
      {"overlong, C1 lead", "\xc1\xbf", "??"},
      {"overlong, three bytes", "\xe0\x80\xaf", "???"},
      {"overlong ESC, three bytes", "\xe0\x80\x9b", "???"},
      {"overlong, four bytes", "\xf0\x80\x80\xaf", "????"},
      {"surrogate", "\xed\xa0\x80", "???"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "????"},
      {"bytes never in UTF-8", "\xf5\xf8\xfe\xff", "????"},
      {"stray continuation", "a\x80z", "a?z"},
      {"lead cut short by ASCII", "\xc3Z", "?Z"},
      {"lead cut short by ESC", "\xe2\x82\x1b[2J", "???[2J"},
      {"lead followed by a lead", "\xc3\xc3\xa9", "?\xc3\xa9"},
      {"unfinished at the end", "ok\xf0\x9f\x98", "ok???"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string shown = filterWhole(c.input);
    EXPECT_EQ(shown, c.shown);
    EXPECT_EQ(shown.size(), c.input.size());
  }
}

TEST(TerminalText, CharactersSplitBetweenCallsAreJudgedWhole) {
  const std::string input =
      "a\xc3\xa9x\xe2\x82\xacy\xf0\x9f\x98\x80\xed\xa0\x80\x1bz\xc2\x9b\xe2\x80\xaew";
  const std::string whole = filterWhole(input);
  EXPECT_EQ(whole, "a\xc3\xa9x\xe2\x82\xacy\xf0\x9f\x98\x80????z?????w");
  for (std::size_t cut = 0; cut <= input.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_EQ(filterInPieces(input, {cut}), whole);
    for (std::size_t second = cut; second <= input.size(); ++second) {
      EXPECT_EQ(filterInPieces(input, {cut, second}), whole);
    }
  }
}

TEST(TerminalText, AnUnfinishedCharacterIsHeldUntilItsLastByte) {
  TerminalTextState state = {};
  char out[16];
  EXPECT_EQ(filterTerminalText(state, "x\xe2\x82", 3, out), 1u);
  EXPECT_EQ(std::string(out, 1), "x");
  const std::size_t produced = filterTerminalText(state, "\xac", 1, out);
  EXPECT_EQ(std::string(out, produced), "\xe2\x82\xac");
  EXPECT_EQ(finishTerminalText(state, out), 0u);
}

}  // namespace
