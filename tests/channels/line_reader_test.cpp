// The line reader's rules, from a chunk source the test controls and from real files, checked
// against a reader that takes one byte at a time, also with the stream's buffer refilled a few
// bytes at a time; the end-of-file rule of channels; and a line too long to hold in memory, with
// this program's operator new failing as memory running out would.
#include "channels/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "channels/file_device.h"
#include "channels/line_block.h"
#include "channels/long_lines.h"
#include "support/allocation_counter.h"
#include "support/channel_test.h"
#include "support/scratch_dir.h"
#include "system/file_stream.h"

namespace {

namespace fs = std::filesystem;
using Reads = std::vector<std::pair<LineEnd, std::string>>;

// The bytes the controlled chunk source delivers, and how far it has got.
std::string sourceBytes;
std::size_t sourcePosition = 0;

// Delivers chunks as fgets does: at most size - 1 bytes, ending after the first LF.
std::size_t readSourceChunk(char* buffer, int size, FileStream*) {
  std::size_t stored = 0;
  while (stored + 1 < static_cast<std::size_t>(size) && sourcePosition < sourceBytes.size()) {
    const char byte = sourceBytes[sourcePosition++];
    buffer[stored++] = byte;
    if (byte == '\n') break;
  }
  buffer[stored] = '\0';
  return stored;
}

// Reads lines until a read reports the end of the input; every result with its line.
Reads readAll(FileStream* stream, ChunkReader readChunk) {
  Reads reads;
  Text line = "previous line";
  for (int guard = 0; guard < 1000; ++guard) {
    const LineEnd end = readLineFromStream(stream, line, readChunk);
    reads.emplace_back(end, line);
    if (end != LineEnd::Found) break;
  }
  return reads;
}

// One line read the slow way from `input`, a byte at a time from `*position`: everything up to
// the LF, less one CR right before it; at the end of the input, less the trailing NULs and then
// one CR. The reader must give the very same lines, however its chunks and the stream's buffer
// fall.
LineEnd referenceReadLine(const std::string& input,
                          std::size_t* position,
                          std::string& destination) {
  destination.clear();
  while (*position < input.size()) {
    const char byte = input[(*position)++];
    if (byte == '\n') {
      if (!destination.empty() && destination.back() == '\r') destination.pop_back();
      return LineEnd::Found;
    }
    destination.push_back(byte);
  }
  while (!destination.empty() && destination.back() == '\0') destination.pop_back();
  if (destination.empty() || destination.back() != '\r') return LineEnd::InputEnded;
  destination.pop_back();
  return LineEnd::Found;
}

// Reads that move at most `sliceSize` bytes per system call, as a pipe may deliver them: the
// stream's buffer then ends anywhere, across every kind of line end and inside long lines.
std::size_t sliceSize = 0;
std::int64_t readInSlices(const FileStream& stream, char* buffer, std::size_t count, int* error) {
  return defaultFileTransfers().read(stream, buffer, count < sliceSize ? count : sliceSize, error);
}
constexpr FileTransfers slicedReads = {.read = readInSlices, .write = nullptr};

std::string bytesOf(const char* text, std::size_t length) { return std::string(text, length); }

struct RuleCase {
  const char* rule;
  std::string input;
  Reads reads;
};

std::vector<RuleCase> ruleCases() {
  const std::string a509(509, 'a');
  const std::string a510(510, 'a');
  const std::string a511(511, 'a');
  const std::string a1200(1200, 'a');
  const std::string a4094(4094, 'a');
  const std::string nul511(511, '\0');
  // An entry of the list files the old chunked reading corrupted: "a@", 508 bytes, a NUL that
  // ended a 511-byte chunk, and 100 more bytes.
  const std::string longEntry =
      "a@" + std::string(508, 'b') + bytesOf("\0", 1) + std::string(100, 'c');
  constexpr LineEnd Found = LineEnd::Found;
  constexpr LineEnd Ended = LineEnd::InputEnded;
  return {
      {"text, LF", "x\n", {{Found, "x"}, {Ended, ""}}},
      {"text, CR, LF", "x\r\n", {{Found, "x"}, {Ended, ""}}},
      {"LF alone", "\n", {{Found, ""}, {Ended, ""}}},
      {"CR, LF alone", "\r\n", {{Found, ""}, {Ended, ""}}},
      {"CR inside a line is data", "a\rb\n", {{Found, "a\rb"}, {Ended, ""}}},
      {"only one CR before the LF goes", "\r\r\r\n", {{Found, "\r\r"}, {Ended, ""}}},
      {"text at the end of the input", "text", {{Ended, "text"}}},
      {"text, CR at the end of the input", "text\r", {{Found, "text"}, {Ended, ""}}},
      {"trailing NULs at the end of the input", bytesOf("text\0\0", 6), {{Ended, "text"}}},
      {"NULs inside a line", bytesOf("a\0b\n", 4), {{Found, bytesOf("a\0b", 3)}, {Ended, ""}}},
      {"CR, NUL, LF keeps the CR",
       bytesOf("a\r\0\n", 4),
       {{Found, bytesOf("a\r\0", 3)}, {Ended, ""}}},
      {"CR before trailing NULs at the end", bytesOf("ab\r\0\0", 5), {{Found, "ab"}, {Ended, ""}}},
      {"at the end: NULs go, then one CR, not what is before it",
       bytesOf("a\0\r\r\0", 5),
       {{Found, bytesOf("a\0\r", 3)}, {Ended, ""}}},
      {"nothing", "", {{Ended, ""}}},
      {"only NULs", bytesOf("\0\0\0", 3), {{Ended, ""}}},
      {"two lines, the last without line end", "x\ny", {{Found, "x"}, {Ended, "y"}}},
      {"LF LF gives an empty last line", "x\n\n", {{Found, "x"}, {Found, ""}, {Ended, ""}}},
      {"511 bytes, LF", a511 + "\n", {{Found, a511}, {Ended, ""}}},
      {"511 bytes, CR, LF", a511 + "\r\n", {{Found, a511}, {Ended, ""}}},
      {"1200 bytes, LF", a1200 + "\n", {{Found, a1200}, {Ended, ""}}},
      {"1200 bytes at the end of the input", a1200, {{Ended, a1200}}},
      {"510 bytes, CR, LF is one line", a510 + "\r\n", {{Found, a510}, {Ended, ""}}},
      {"510 + 2 * 511 bytes, CR, LF is one line",
       std::string(1532, 'a') + "\r\n",
       {{Found, std::string(1532, 'a')}, {Ended, ""}}},
      {"a CR as the 511th byte of a long line is data",
       a510 + "\rbcd\n",
       {{Found, a510 + "\rbcd"}, {Ended, ""}}},
      {"NULs as the 510th and 511th bytes of a long line are data",
       a509 + bytesOf("\0\0b\n", 4),
       {{Found, a509 + bytesOf("\0\0b", 3)}, {Ended, ""}}},
      {"a NUL as the 511th byte of a kept entry is data",
       longEntry + "\n",
       {{Found, longEntry}, {Ended, ""}}},
      {"511 NULs inside a line are data", nul511 + "z\n", {{Found, nul511 + "z"}, {Ended, ""}}},
      {"CR inside a long line, not at a chunk end",
       a509 + "\r" + a509 + "\n",
       {{Found, a509 + "\r" + a509}, {Ended, ""}}},
      {"a CR LF split between two chunks of the reader",
       a4094 + "\r\nx\n",
       {{Found, a4094}, {Found, "x"}, {Ended, ""}}},
      {"NULs filling whole chunks inside a line are data",
       "a" + std::string(9000, '\0') + "b\n",
       {{Found, "a" + std::string(9000, '\0') + "b"}, {Ended, ""}}},
      {"a long last line loses its NULs, however many chunks they fill",
       a1200 + std::string(9000, '\0'),
       {{Ended, a1200}}},
      {"CR bytes without an LF are one line",
       std::string(9000, '\r'),
       {{Found, std::string(8999, '\r')}, {Ended, ""}}},
  };
}

TEST(LineReaderRules, EachRuleFromAControlledChunkSource) {
  for (const RuleCase& c : ruleCases()) {
    SCOPED_TRACE(c.rule);
    sourceBytes = c.input;
    sourcePosition = 0;
    setStatus(StatusCode::NotApplicable);
    EXPECT_EQ(readAll(nullptr, readSourceChunk), c.reads);
    EXPECT_EQ(lastStatus(), StatusCode::Ok) << "the end of the input is not a stored failure";
  }
}

TEST(LineReaderRules, EachRuleFromARealFile) {
  ScratchDir scratch;
  for (const RuleCase& c : ruleCases()) {
    SCOPED_TRACE(c.rule);
    writeFileBytes("input.txt", c.input);
    FileStream stream;
    ASSERT_TRUE(openFileStream(stream, nullptr, "input.txt", StreamMode::Read));
    EXPECT_EQ(readAll(&stream, readStreamChunk), c.reads);
    EXPECT_TRUE(closeFileStream(stream));
  }
}

TEST(LineReaderRules, ALineTooLongToHoldGivesItsStorageBack) {
  sourceBytes = std::string(100000, 'y') + "\n";
  sourcePosition = 0;
  Text line = "previous line";
  allocation_counter::limit = 20000;
  const LineEnd end = readLineFromStream(nullptr, line, readSourceChunk);
  allocation_counter::limit = 0;
  EXPECT_EQ(end, LineEnd::TooLong);
  EXPECT_EQ(line, "");
  EXPECT_LT(line.capacity(), 20000u);
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
}

// A line far longer than a test may hold, delivered without the memory of it: `head`, then
// `padding` bytes of `fill`, then `tail`, in chunks as fgets gives them; `delivered` counts the
// bytes handed out.
struct GeneratedLine {
  std::string head;
  std::size_t padding = 0;
  char fill = '\0';
  std::string tail;
  std::size_t delivered = 0;
};
GeneratedLine generated;

std::size_t readGeneratedChunk(char* buffer, int size, FileStream*) {
  std::size_t stored = 0;
  const std::size_t room = static_cast<std::size_t>(size) - 1;
  const std::size_t total = generated.head.size() + generated.padding + generated.tail.size();
  while (stored < room && generated.delivered < total) {
    const std::size_t at = generated.delivered;
    const std::size_t tailStart = generated.head.size() + generated.padding;
    if (at < generated.head.size()) {
      buffer[stored] = generated.head[at];
    } else if (at < tailStart) {
      // A run of padding at once, as far as the chunk goes.
      const std::size_t run = std::min(room - stored, tailStart - at);
      std::memset(buffer + stored, generated.fill, run);
      stored += run;
      generated.delivered += run;
      continue;
    } else {
      buffer[stored] = generated.tail[at - tailStart];
    }
    ++generated.delivered;
    if (buffer[stored++] == '\n') break;
  }
  buffer[stored] = '\0';
  return stored;
}

TEST(LineReaderRules, EveryLineIsBoundedByTheLimitPaddingIncluded) {
  constexpr std::size_t Limit = MaxLineBytes;
  // What may be read of a line before it is given up: the limit and the chunk that passes it.
  constexpr std::size_t MostRead = Limit + LineChunkSize;
  struct LimitCase {
    const char* what;
    GeneratedLine line;
    LineEnd end;
    std::size_t length;  // of the line read, when Found or InputEnded
  };
  const LimitCase cases[] = {
      {"NUL padding up to the limit ends the input", {"", Limit, '\0', ""}, LineEnd::InputEnded, 0},
      {"one NUL past the limit", {"", Limit + 1, '\0', ""}, LineEnd::TooLong, 0},
      {"a petabyte of NULs, then an @",
       {"", std::size_t{1} << 50, '\0', "@x\n"},
       LineEnd::TooLong,
       0},
      {"an entry, then NULs past the limit", {"a@b.org", Limit, '\0', ""}, LineEnd::TooLong, 0},
      {"NULs inside a line past the limit", {"a", Limit, '\0', "@\n"}, LineEnd::TooLong, 0},
      // The limit holds the line with its line end.
      {"a line that fills the limit", {"a@", Limit - 4, 'x', "\r\n"}, LineEnd::Found, Limit - 2},
      {"one byte past the limit", {"a@", Limit - 2, 'x', "\n"}, LineEnd::TooLong, 0},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.what);
    generated = c.line;
    Text line = "previous line";
    allocation_counter::peakHeld = allocation_counter::held;
    const std::size_t heldBefore = allocation_counter::held;
    EXPECT_EQ(readLineFromStream(nullptr, line, readGeneratedChunk), c.end);
    EXPECT_EQ(line.size(), c.length);
    EXPECT_LE(generated.delivered, MostRead) << "read on past the limit";
    // The line's storage never grows past the limit, and while it grows the old storage is
    // never more than 1 MiB (doubling all the way would hold half the limit beside it).
    EXPECT_LE(allocation_counter::peakHeld - heldBefore, Limit + (std::size_t{1} << 20) + 64);
    EXPECT_LE(line.capacity(), Limit);
  }
}

// Reads every line of input.txt, holding `input`, with the reader and with the reference, each
// line and the position after it alike; the number of lines read.
int compareWithTheReference(const std::string& input, const FileTransfers* transfers) {
  FileStream opened;
  const bool isOpen = openFileStream(opened, nullptr, "input.txt", StreamMode::Read);
  EXPECT_TRUE(isOpen);
  if (!isOpen) return 0;
  FileStream* stream = &opened;
  if (transfers != nullptr) useTransfers(*stream, *transfers);
  std::size_t position = 0;
  int lines = 0;
  for (;; ++lines) {
    std::string expected = "old";
    Text actual = "old";
    const LineEnd expectedEnd = referenceReadLine(input, &position, expected);
    EXPECT_EQ(readLineFromStream(stream, actual), expectedEnd) << "line " << lines;
    EXPECT_EQ(actual, expected) << "line " << lines;
    // The position the end-of-file test works from, told without a system call, is where the
    // reference stands after reading the same line.
    EXPECT_EQ(streamPosition(*stream), static_cast<std::int64_t>(position)) << "line " << lines;
    if (expectedEnd != LineEnd::Found || testing::Test::HasFailure()) break;
  }
  EXPECT_FALSE(streamFailed(*stream));
  EXPECT_TRUE(closeFileStream(*stream));
  return lines;
}

TEST(LineReaderRules, MatchesTheChunkByChunkReferenceOnRandomInput) {
  ScratchDir scratch;
  std::mt19937 random(20261207);  // fixed: a failure can be replayed
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0'};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::string input;
    const int pieces = static_cast<int>(random() % 12);
    for (int piece = 0; piece < pieces; ++piece) {
      // Runs near the sizes of the reader's chunks (and of the chunks of older readers) put CR,
      // LF and NUL bytes on and around their boundaries.
      std::size_t run = random() % 6;
      if (random() % 3 == 0) run = (random() % 2 == 0 ? 505 : 4090) + random() % 10;
      input.append(run, 'a');
      const std::size_t tail = random() % 4;
      for (std::size_t index = 0; index < tail; ++index) input.push_back(alphabet[random() % 5]);
    }
    writeFileBytes("input.txt", input);
    compareWithTheReference(input, nullptr);
    ASSERT_FALSE(HasFailure());
  }
}

TEST(LineReaderRules, MatchesTheReferenceWhenLinesCrossTheStreamBuffer) {
  // Reads of a few bytes each put every kind of line end, and lines longer than a chunk, across
  // the points where the reader must refill the stream's buffer in the middle of a line; the
  // input is larger than the buffer, so full reads cross it too.
  ScratchDir scratch;
  std::mt19937 random(7122026);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', '@'};
  std::string input;
  for (int piece = 0; piece < 3000; ++piece) {
    std::size_t run = random() % 30;
    if (random() % 8 == 0) run = (random() % 4 == 0 ? 4085 : 500) + random() % 20;
    input.append(run, 'x');
    const std::size_t tail = random() % 4;
    for (std::size_t index = 0; index < tail; ++index) input.push_back(alphabet[random() % 6]);
  }
  ASSERT_GT(input.size(), 2 * StreamBufferSize);
  writeFileBytes("input.txt", input);
  for (const std::size_t slice : {1u, 2u, 3u, 7u, 64u, 509u, 512u, 4096u, 0u}) {
    SCOPED_TRACE(slice);
    sliceSize = slice;
    EXPECT_GT(compareWithTheReference(input, slice == 0 ? nullptr : &slicedReads), 500);
    ASSERT_FALSE(HasFailure());
  }
}

// Every LF offset of `bytes`, and whether the line before it holds an "@", the slow way.
struct ReferenceEnds {
  std::vector<std::uint32_t> ends;
  std::vector<bool> marked;
};

ReferenceEnds referenceLineEnds(const std::string& bytes, std::size_t limit) {
  ReferenceEnds reference;
  std::size_t start = 0;
  for (std::size_t index = 0; index < bytes.size() && reference.ends.size() < limit; ++index) {
    if (bytes[index] != '\n') continue;
    reference.ends.push_back(static_cast<std::uint32_t>(index));
    reference.marked.push_back(bytes.substr(start, index - start).find('@') != std::string::npos);
    start = index + 1;
  }
  return reference;
}

TEST(LineBlockScan, BothScansFindEveryLineEndUpToTheLimit) {
  // Line ends and markers at every offset of the 32-byte steps and in the tail after them, runs
  // without any, lines that cross steps, NUL and CR bytes beside them, and a limit met inside a
  // step.
  std::mt19937 random(8122026);
  const char alphabet[] = {'a', '\n', '\r', '\0', '@', '\xff'};
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    std::string bytes(random() % 200, 'x');
    // Sparse rounds: lines and markers far apart, across several steps.
    const unsigned odds = round % 3 == 0 ? 40 : 4;
    for (char& byte : bytes) {
      if (random() % odds == 0) byte = alphabet[random() % 6];
    }
    const std::size_t limit = round % 5 == 0 ? random() % 8 : LineBlockLines;
    const ReferenceEnds expected = referenceLineEnds(bytes, limit);
    std::vector<std::uint32_t> ends(LineBlockLines + 1, 0xdeadbeef);
    for (const bool vector : {false, true}) {
      SCOPED_TRACE(vector ? "vector scan" : "portable scan");
      std::unique_ptr<bool[]> marked(new bool[LineBlockLines]);
      const std::size_t found =
          vector ? findLineEnds(bytes.data(), bytes.size(), '@', ends.data(), marked.get(), limit)
                 : findLineEndsPortable(bytes.data(), bytes.size(), '@', ends.data(), marked.get(),
                                        limit);
      EXPECT_EQ(std::vector<std::uint32_t>(ends.begin(), ends.begin() + found), expected.ends);
      EXPECT_EQ(std::vector<bool>(marked.get(), marked.get() + found), expected.marked);
      EXPECT_EQ(ends[found], 0xdeadbeef) << "nothing stored past the lines found";
    }
    ASSERT_FALSE(HasFailure());
  }
  if (!vectorLineScan())
    GTEST_SKIP() << "this build has no vector scan: both were the portable one";
}

class LineReading : public ChannelTest {
 protected:
  // Every line of `bytes`, read through channel 2 for as long as it is not at its end.
  std::vector<std::string> linesOf(const std::string& bytes) {
    writeFileBytes("list.txt", bytes);
    std::vector<std::string> lines;
    EXPECT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
    for (int guard = 0; guard < 1000 && channelAtEnd(2) != -1; ++guard) {
      Text line;
      EXPECT_EQ(readLineInto(2, line), StatusCode::Ok);
      lines.push_back(line);
    }
    EXPECT_EQ(closeChannel(2), StatusCode::Ok);
    return lines;
  }
};

TEST_F(LineReading, ACallerThatStopsAtTheEndGetsEveryLineAndNoExtraOne) {
  using Lines = std::vector<std::string>;
  const struct {
    const char* what;
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"LF line ends", "x\ny\n", {"x", "y"}},
      {"CR LF, last line without end", "x\r\ny", {"x", "y"}},
      {"ends in CR LF", "x\r\ny\r\n", {"x", "y"}},
      {"ends in LF LF", "x\n\n", {"x", ""}},
      {"empty file", "", {}},
      {"a 0x1A byte is data",
       "a\x1a"
       "b\r\nc\r\n",
       {"a\x1a"
        "b",
        "c"}},
      {"CR alone at the end", "x\r", {"x"}},
      {"1200-byte line", std::string(1200, 'q') + "\r\n", {std::string(1200, 'q')}},
      {"510-byte line, CR LF: no empty line after it",
       std::string(510, 'q') + "\r\nx\r\n",
       {std::string(510, 'q'), "x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(linesOf(c.bytes), c.lines);
  }
}

TEST_F(LineReading, ALineTooLongToHoldEndsTheChannelAndItsCloseReportsIt) {
  // A line that fits the stream's buffer is taken from it whole; a longer one is read in chunks.
  // Either way, failing to hold it must not end the process or pass for a line.
  for (const std::size_t length : {std::size_t{5000}, std::size_t{300000}}) {
    SCOPED_TRACE(length);
    writeFileBytes("list.txt", "first@example.org\r\n" + std::string(length, 'x') +
                                   "@\r\nlast@example.org\r\n");
    ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
    Text line;
    ASSERT_EQ(readLineInto(2, line), StatusCode::Ok);
    EXPECT_EQ(line, "first@example.org");
    EXPECT_FALSE(fileLineTooLong(fileChannelOf(2)));
    allocation_counter::limit = 1000;
    const StatusCode read = readLineInto(2, line);
    allocation_counter::limit = 0;
    EXPECT_EQ(read, StatusCode::TransferFailed);
    EXPECT_EQ(lastStatus(), StatusCode::TransferFailed);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(fileLineTooLong(fileChannelOf(2)));
    EXPECT_EQ(channelAtEnd(2), -1) << "the rest of the file is not read as lines";
    EXPECT_EQ(closeChannel(2), StatusCode::TransferFailed);
    EXPECT_FALSE(fileLineTooLong(fileChannelOf(2))) << "closed";

    // The same file read with memory to spare, on the same channel: nothing of the failure is
    // left over.
    ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
    std::vector<std::string> lines;
    while (channelAtEnd(2) == 0) {
      ASSERT_EQ(readLineInto(2, line), StatusCode::Ok);
      lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"first@example.org", std::string(length, 'x') + "@",
                                               "last@example.org"}));
    EXPECT_FALSE(fileLineTooLong(fileChannelOf(2)));
    EXPECT_EQ(closeChannel(2), StatusCode::Ok);
  }
}

// Every line of input.txt through channel 2, a block at a time where takeBufferedLines gives
// one and by readLineInto otherwise, as the copy of a list file reads; with the lines the
// reference gives and the number of lines that came in blocks.
struct BlockReads {
  std::vector<std::string> lines;
  std::vector<std::string> expected;
  std::size_t inBlocks = 0;
  std::size_t wronglyMarked = 0;  // lines of blocks whose mark does not tell whether they hold "@"
};

BlockReads readInBlocks(const std::string& input, const FileTransfers* transfers) {
  BlockReads reads;
  for (std::size_t position = 0; position < input.size();) {
    std::string line;
    referenceReadLine(input, &position, line);
    reads.expected.push_back(line);
  }
  EXPECT_EQ(openChannel("input.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  if (transfers != nullptr) useTransfers(*fileStream(fileChannelOf(2)), *transfers);
  LineBlock block;
  for (int guard = 0; guard < 1000000 && channelAtEnd(2) == 0; ++guard) {
    if (takeBufferedLines(2, block, '@')) {
      EXPECT_EQ(lastStatus(), StatusCode::Ok);
      for (std::size_t line = 0; line < block.count; ++line) {
        reads.lines.emplace_back(block.line(line));
        const bool holdsAt = reads.lines.back().find('@') != std::string::npos;
        if (block.marked[line] != holdsAt) ++reads.wronglyMarked;
      }
      reads.inBlocks += block.count;
      continue;
    }
    Text line;
    EXPECT_EQ(readLineInto(2, line), StatusCode::Ok);
    reads.lines.push_back(line);
  }
  EXPECT_EQ(closeChannel(2), StatusCode::Ok);
  return reads;
}

TEST_F(LineReading, BlocksOfBufferedLinesAreTheLinesReadOneByOne) {
  // Reads of `slice` bytes end the stream's buffer where the case needs it.
  const std::string line64k = "k@" + std::string(64 * 1024, 'q');
  const struct {
    const char* what;
    std::string input;
    std::size_t slice;
  } cases[] = {
      {"the buffer ends inside CR LF", "first@x.org\r\nsecond@x.org\r\nthird@x.org\r\n", 26},
      {"the buffer ends inside a line", "first@x.org\nsecond@x.org\nthird\n", 17},
      {"the buffer ends exactly at a line end", "first@x.org\nsecond@x.org\nthird\n", 12},
      {"a 64 KiB line between short ones", "a@b.cde\r\n" + line64k + "\r\nshort\n", 0},
      {"a 64 KiB line, read in slices", "a@b.cde\r\n" + line64k + "\nshort\r\n", 4093},
      {"NUL and lone CR inside runs",
       bytesOf("a\0b@cdefg\r\nx\ry@zzzz\r\n\r\r\n\0\0\0\n\rtail\r\n", 35), 0},
      {"the last line without an LF, NULs and a CR after it",
       bytesOf("kept@x.org\nlast@x.org\r\0\0", 24), 0},
      {"only line ends", "\n\r\n\n\r\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes("input.txt", c.input);
    sliceSize = c.slice;
    const BlockReads reads = readInBlocks(c.input, c.slice == 0 ? nullptr : &slicedReads);
    EXPECT_EQ(reads.lines, reads.expected);
    EXPECT_EQ(reads.wronglyMarked, 0u);
    EXPECT_GT(reads.inBlocks, 0u) << "the block path was taken";
  }
}

TEST_F(LineReading, BlocksMatchTheReferenceWhereverTheBufferEnds) {
  std::mt19937 random(9122026);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', '@'};
  std::string input;
  for (int piece = 0; piece < 6000; ++piece) {
    std::size_t run = random() % 30;
    if (random() % 50 == 0) run = 4000 + random() % 70000;
    input.append(run, 'x');
    const std::size_t tail = random() % 4;
    for (std::size_t index = 0; index < tail; ++index) input.push_back(alphabet[random() % 6]);
  }
  ASSERT_GT(input.size(), 2 * StreamBufferSize);
  writeFileBytes("input.txt", input);
  for (const std::size_t slice : {1u, 3u, 64u, 509u, 4096u, 65535u, 0u}) {
    SCOPED_TRACE(slice);
    sliceSize = slice;
    const BlockReads reads = readInBlocks(input, slice == 0 ? nullptr : &slicedReads);
    EXPECT_EQ(reads.lines, reads.expected);
    EXPECT_EQ(reads.wronglyMarked, 0u);
    // Reads of a few bytes rarely hold a whole line; buffers of 4 KiB and more mostly do.
    if (slice == 0 || slice >= 4096) {
      EXPECT_GT(reads.inBlocks, reads.lines.size() / 2);
    }
    ASSERT_FALSE(HasFailure());
  }
}

TEST_F(LineReading, ABlockHoldsNoLineThatStartsAfterTheMeasuredLength) {
  writeFileBytes("list.txt", "a@bcdefg\nh@ijklmn");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("list.txt", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(writeChannelBytes(lookupChannel(9), "opq\nlate@x.org\n", 16), StatusCode::Ok);
  ASSERT_EQ(flushChannel(9), StatusCode::Ok);
  LineBlock block;
  std::vector<std::string> lines;
  while (channelAtEnd(2) == 0 && takeBufferedLines(2, block, '@')) {
    for (std::size_t line = 0; line < block.count; ++line) lines.emplace_back(block.line(line));
  }
  // The line that was cut at the open is read to its LF, as readLineInto reads it.
  EXPECT_EQ(lines, (std::vector<std::string>{"a@bcdefg", "h@ijklmnopq"}));
  EXPECT_EQ(channelAtEnd(2), -1);
}

TEST_F(LineReading, OnlyInputChannelsOfFilesGiveBlocks) {
  writeFileBytes("data.txt", "abc\n");
  LineBlock block;
  ASSERT_EQ(openChannel("data.txt", OpenMode::Binary, 1, 0, 4, 0), StatusCode::Ok);
  EXPECT_FALSE(takeBufferedLines(4, block, '@'));
  EXPECT_FALSE(takeBufferedLines(5, block, '@')) << "closed";
  EXPECT_FALSE(takeBufferedLines(300, block, '@')) << "no such channel";
  Text line;
  ASSERT_EQ(readLineInto(4, line), StatusCode::Ok);
  EXPECT_EQ(line, "abc") << "nothing was taken";
}

TEST_F(LineReading, AnEmptyFileIsAtItsEndBeforeAnyRead) {
  writeFileBytes("empty.txt", "");
  ASSERT_EQ(openChannel("empty.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  EXPECT_EQ(channelAtEnd(2), -1);
}

TEST_F(LineReading, ReadingAtTheEndGivesAnEmptyLineAndStatusOk) {
  writeFileBytes("list.txt", "only\n");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  Text line;
  ASSERT_EQ(readLineInto(2, line), StatusCode::Ok);
  ASSERT_EQ(channelAtEnd(2), -1);
  setStatus(StatusCode::TransferFailed);
  EXPECT_EQ(readLineInto(2, line), StatusCode::Ok);
  EXPECT_EQ(line, "");
  EXPECT_EQ(lastStatus(), StatusCode::Ok);
  EXPECT_EQ(channelAtEnd(2), -1);
}

TEST_F(LineReading, AClosedChannelLeavesTheDestinationAlone) {
  ASSERT_EQ(openChannel("missing.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::NotOpened);
  for (int attempt = 0; attempt < 3; ++attempt) {
    Text line = "previous";
    setStatus(StatusCode::Ok);
    EXPECT_EQ(readLineInto(2, line), StatusCode::NotApplicable);
    EXPECT_EQ(line, "previous");
    setStatus(StatusCode::Ok);
    EXPECT_EQ(channelAtEnd(2), 1);
    EXPECT_EQ(lastStatus(), StatusCode::NotApplicable);
  }
  Text line = "previous";
  EXPECT_EQ(readLineInto(300, line), StatusCode::NotApplicable);
  EXPECT_EQ(channelAtEnd(-2), 1);
  EXPECT_EQ(line, "previous");
}

TEST_F(LineReading, ADeviceWithoutLineReadingIsAtItsEndAndCannotBeRead) {
  ChannelHooks consoleLike{};
  lookupChannel(0)->hooks = &consoleLike;
  setStatus(StatusCode::TransferFailed);
  EXPECT_EQ(channelAtEnd(0), -1);
  EXPECT_EQ(lastStatus(), StatusCode::TransferFailed) << "the answer stores no status";
  Text line = "previous";
  EXPECT_EQ(readLineInto(0, line), StatusCode::NotApplicable);
  EXPECT_EQ(line, "previous");
  lookupChannel(0)->hooks = nullptr;
}

TEST_F(LineReading, BytesAppendedAfterTheOpenAreNotRead) {
  writeFileBytes("list.txt", "a\nb\n");
  ASSERT_EQ(openChannel("list.txt", OpenMode::Input, 0, 0, 2, 0), StatusCode::Ok);
  ASSERT_EQ(openChannel("list.txt", OpenMode::Append, 0, 0, 9, 0), StatusCode::Ok);
  ASSERT_EQ(writeChannelBytes(lookupChannel(9), "late\n", 5), StatusCode::Ok);
  ASSERT_EQ(flushChannel(9), StatusCode::Ok);
  std::vector<std::string> lines;
  for (int guard = 0; guard < 10 && channelAtEnd(2) != -1; ++guard) {
    Text line;
    readLineInto(2, line);
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
}

TEST_F(LineReading, OutputChannelsAreAtTheirEndOnlyAfterARead) {
  ASSERT_EQ(openChannel("out.txt", OpenMode::Output, 0, 0, 3, 0), StatusCode::Ok);
  EXPECT_EQ(channelAtEnd(3), 0);
  ASSERT_EQ(openChannel("out.txt", OpenMode::Binary, 0, 0, 4, 0), StatusCode::Ok);
  EXPECT_EQ(channelAtEnd(4), -1) << "an empty binary file is at its end";
}

TEST_F(LineReading, ABinaryChannelIsAtItsEndAtTheMeasuredLength) {
  writeFileBytes("data.bin", "abc\n");
  ASSERT_EQ(openChannel("data.bin", OpenMode::Binary, 1, 0, 4, 0), StatusCode::Ok);
  EXPECT_EQ(channelAtEnd(4), 0);
  Text line;
  ASSERT_EQ(readLineInto(4, line), StatusCode::Ok);
  EXPECT_EQ(line, "abc");
  EXPECT_EQ(channelAtEnd(4), -1);
}

}  // namespace
