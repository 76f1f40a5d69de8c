#include "cleaning/entry_check.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "channels/channel.h"
#include "support/channel_test.h"
#include "support/scratch_dir.h"

using namespace std::string_literals;

TEST(EntryCheck, KeepsEntriesOfSevenBytesOrMoreHoldingAnAtSign) {
  struct Case {
    std::string entry;
    bool good;
  };
  const Case cases[] = {
      {"abc@def", true},           // exactly 7 bytes
      {"ab@cde", false},           // 6 bytes
      {"abcdefgh", false},         // long, no "@"
      {"@@@@@@@", true},           // only marks
      {"", false},                 // empty line
      {"  a@b  ", true},           // blanks count
      {"@abcdef", true},           // mark first
      {"abcdef@", true},           // mark last
      {"ab\0@def"s, true},         // a NUL byte counts in the length
      {"a\0\0\0\0\0@"s, true},     // NULs do not hide the mark
      {"\0\0\0\0\0\0\0"s, false},  // seven NULs, no mark
      {"ABC@DEF", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.entry));
    EXPECT_EQ(isGoodEntry(c.entry), c.good);
  }
}

// Whether `text` is the date and time that start a log record, each field in its range. The
// pattern (CHKLIST_LOG_RECORD_STAMP, from tests/support/log_record_stamp.txt) is the one the
// Python suites and CI check records with.
testing::AssertionResult isRecordStamp(const std::string& text) {
  static const std::regex stamp(CHKLIST_LOG_RECORD_STAMP);
  std::smatch fields;
  const auto within = [&](int index, int low, int high) {
    const int value = std::stoi(fields[index].str());
    return low <= value && value <= high;
  };
  if (std::regex_match(text, fields, stamp) && within(1, 1, 12) && within(2, 1, 31) &&
      within(4, 0, 23) && within(5, 0, 59) && within(6, 0, 60)) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "not a record's date and time: " << text;
}

TEST(EntryCheck, DateAndTimeTextsHaveTheirFixedShapes) {
  EXPECT_TRUE(isRecordStamp(dateText() + std::string(4, ' ') + timeText() + std::string(6, ' ')));
}

// The blanks after a path in a record: to the next zone after column 28 + its length, counted
// from its last line end when it holds one.
std::size_t padAfter(const std::string& path) {
  const std::size_t lineEnd = path.find_last_of("\r\n");
  const std::size_t column =
      lineEnd == std::string::npos ? 28 + path.size() : path.size() - lineEnd - 1;
  return 14 - column % 14;
}

class RejectionLog : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, RejectionLogChannel, 0),
              StatusCode::Ok);
  }

  // The log's bytes with the date and time fields of each record checked and removed.
  std::string recordsWithoutClock() {
    closeChannel(RejectionLogChannel);
    const std::string log = readFileBytes(scratch_.path() / "chklist.log");
    std::string rest;
    std::size_t start = 0;
    while (start < log.size()) {
      const std::size_t end = log.find("\r\n", start);
      EXPECT_NE(end, std::string::npos) << "record without its line end";
      if (end == std::string::npos) break;
      const std::string record = log.substr(start, end + 2 - start);
      EXPECT_TRUE(isRecordStamp(record.substr(0, 28))) << record;
      rest += record.substr(28);
      start = end + 2;
    }
    return rest;
  }
};

TEST_F(RejectionLog, PathIsPaddedToTheNextZoneWithAtLeastOneBlank) {
  const std::string path27(27, 'p');
  const std::string path28(28, 'q');
  const std::string path22(22, 'r');
  logRejectedEntry(path27, "one");
  logRejectedEntry(path28, "two");
  logRejectedEntry(path22, "spam");
  // Columns: the path starts at 28; 27 bytes end at 55 (1 blank to 56), 28 bytes end at 56
  // (a full zone of 14 blanks), 22 bytes end at 50 (6 blanks).
  EXPECT_EQ(recordsWithoutClock(), path27 + " " + "one\r\n" +                       //
                                       path28 + std::string(14, ' ') + "two\r\n" +  //
                                       path22 + std::string(6, ' ') + "spam\r\n");
}

TEST_F(RejectionLog, EmptyEntryEndsWithThePathItsPaddingAndALineEnd) {
  logRejectedEntry("/lists/blacklist.txt", "");
  EXPECT_EQ(recordsWithoutClock(), "/lists/blacklist.txt" + std::string(8, ' ') + "\r\n");
}

TEST_F(RejectionLog, EntryBytesAreWrittenUnchanged) {
  const std::string entry = "a\0b\rc\x1b"s;
  logRejectedEntry("p", entry);
  const std::string expected = std::string("p").append(13, ' ').append(entry).append("\r\n");
  EXPECT_EQ(recordsWithoutClock(), expected);
}

TEST_F(RejectionLog, RecordsAfterTheFirstStartAtColumnOneOfAnExistingLog) {
  logRejectedEntry("first", "x");
  closeChannel(RejectionLogChannel);
  ASSERT_EQ(openChannel("chklist.log", OpenMode::Append, 0, 0, RejectionLogChannel, 0),
            StatusCode::Ok);
  logRejectedEntry("second", "y");
  EXPECT_EQ(recordsWithoutClock(),
            "first" + std::string(9, ' ') + "x\r\n" + "second" + std::string(8, ' ') + "y\r\n");
}

TEST_F(RejectionLog, RecordsOfOneListAreTheRecordsWrittenOneByOne) {
  // Paths that end on a zone boundary, one byte before and after it, and one holding a line end
  // (the column counts from it, as the print operations count).
  for (const std::string& path : {std::string(28, 'q'), std::string(27, 'p'), std::string(29, 'r'),
                                  std::string("dir\nname")}) {
    SCOPED_TRACE(path);
    const std::string entries[] = {"one", "", "a\0b\rc"s, std::string(70, 'x')};
    RejectionRecords records(path);
    for (const std::string& entry : entries) EXPECT_TRUE(records.write(entry));
    const std::string together = recordsWithoutClock();
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Output, 0, 0, RejectionLogChannel, 0),
              StatusCode::Ok);
    for (const std::string& entry : entries) EXPECT_TRUE(logRejectedEntry(path, entry));
    EXPECT_EQ(together, recordsWithoutClock());
    // Taken from a block of lines, as the copy of a list hands them over, a long one between.
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Output, 0, 0, RejectionLogChannel, 0),
              StatusCode::Ok);
    std::string bytes;
    for (const std::string& entry : entries) bytes += entry + "\n";
    bytes += std::string(5000, 'L') + "\n";
    LineBlock block;
    block.bytes = bytes.data();
    block.buffered = bytes.size();
    block.count = findLineEndsPortable(bytes.data(), bytes.size(), '@', block.ends, block.marked,
                                       LineBlockLines);
    const std::uint16_t lines[] = {0, 1, 4, 2, 3};
    RejectionRecords(path).writeLines(block, lines, 5);
    const std::size_t firstTwo = 2 * (path.size() + padAfter(path) + 2) + 3;
    EXPECT_EQ(recordsWithoutClock(), together.substr(0, firstTwo) + path +
                                         std::string(padAfter(path), ' ') + std::string(5000, 'L') +
                                         "\r\n" + together.substr(firstTwo));
    EXPECT_EQ(together.size(), 4 * (path.size() + 2) + 3 + 0 + 5 + 70 + 4 * padAfter(path));
    ASSERT_EQ(openChannel("chklist.log", OpenMode::Output, 0, 0, RejectionLogChannel, 0),
              StatusCode::Ok);
  }
}

TEST_F(RejectionLog, ARecordAfterOneCutShortStartsWhereItStopped) {
  // The log's column is not 0 (a record's write failed part way): the print operations lay
  // the next record out from there, as they always did.
  lookupChannel(RejectionLogChannel)->column = 5;
  RejectionRecords records("p");
  EXPECT_TRUE(records.write("x"));
  closeChannel(RejectionLogChannel);
  const std::string log = readFileBytes(scratch_.path() / "chklist.log");
  // 10 date bytes from column 5 end at 15: 13 blanks to 28, the time to 36, 6 blanks to 42.
  ASSERT_EQ(log.size(), 10u + 13 + 8 + 6 + 1 + 13 + 1 + 2);
  EXPECT_EQ(log.substr(10, 13), std::string(13, ' '));
  EXPECT_EQ(log.substr(37), "p" + std::string(13, ' ') + "x\r\n");
}

// A log device that takes the first write and fails every one after it.
int deviceWrites = 0;
StatusCode takeTheFirstWriteOnly(Channel*, const char*, std::size_t) {
  return setStatus(++deviceWrites > 1 ? StatusCode::TransferFailed : StatusCode::Ok);
}

TEST_F(RejectionLog, TellsWhetherTheWholeRecordWasHandedOver) {
  EXPECT_TRUE(logRejectedEntry("/lists/blacklist.txt", "spam"));
  closeChannel(RejectionLogChannel);
  EXPECT_FALSE(logRejectedEntry("/lists/blacklist.txt", "spam")) << "the log is not open";

  ChannelHooks failing{};
  failing.write = takeTheFirstWriteOnly;
  lookupChannel(RejectionLogChannel)->hooks = &failing;
  // A record of a short entry is one write; a long entry's record is three, the first taken.
  EXPECT_TRUE(logRejectedEntry("/lists/blacklist.txt", "spam"));
  EXPECT_EQ(deviceWrites, 1);
  EXPECT_FALSE(logRejectedEntry("/lists/blacklist.txt", "spam"));
  deviceWrites = 0;
  EXPECT_FALSE(logRejectedEntry("/lists/blacklist.txt", std::string(5000, 'x')));
  EXPECT_EQ(deviceWrites, 3);
  lookupChannel(RejectionLogChannel)->hooks = nullptr;
}
