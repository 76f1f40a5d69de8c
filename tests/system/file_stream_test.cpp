// Our file streams under faults of the system calls that move their bytes: short writes and
// reads, interrupted calls, a write refused once and then accepted, a read refused part way
// through a file, and a full device met only at close. Every byte either reaches the file or is
// reported missing.
#include "system/file_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "channels/line_reader.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

// What the faulty system calls do; one script per case.
struct Faults {
  std::size_t slice = 0;           // at most this many bytes per call; 0: as many as asked
  int interruptEvery = 0;          // every n-th call is interrupted before it moves anything
  int refusedWrite = 0;            // this write call (1: the first) is refused
  std::int64_t readableUpTo = -1;  // reads stop short of this offset, and fail there; -1: none
};

// The code the refused calls report, as the system's would.
constexpr int FaultCode = 5;

Faults faults;
int calls = 0;
int writeCalls = 0;

void resetFaults(const Faults& script) {
  faults = script;
  calls = 0;
  writeCalls = 0;
}

std::size_t sliced(std::size_t count) {
  return faults.slice != 0 && count > faults.slice ? faults.slice : count;
}

bool interruptedNow() { return faults.interruptEvery != 0 && ++calls % faults.interruptEvery == 0; }

std::int64_t faultyRead(const FileStream& stream, char* buffer, std::size_t count, int* error) {
  if (interruptedNow()) return TransferInterrupted;
  count = sliced(count);
  if (faults.readableUpTo >= 0) {
    if (stream.offset >= faults.readableUpTo) {
      *error = FaultCode;
      return TransferRefused;
    }
    const auto left = static_cast<std::size_t>(faults.readableUpTo - stream.offset);
    if (count > left) count = left;
  }
  return defaultFileTransfers().read(stream, buffer, count, error);
}

std::int64_t faultyWrite(const FileStream& stream,
                         const char* bytes,
                         std::size_t count,
                         int* error) {
  if (interruptedNow()) return TransferInterrupted;
  if (++writeCalls == faults.refusedWrite) {
    *error = FaultCode;
    return TransferRefused;
  }
  return defaultFileTransfers().write(stream, bytes, sliced(count), error);
}

constexpr FileTransfers faultyTransfers = {.read = faultyRead, .write = faultyWrite};

// Bytes that show where each came from: any byte lost, doubled or moved changes the file.
std::string patterned(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t index = 0; index < count; ++index) {
    bytes[index] = static_cast<char>('a' + index % 23 + index / 997 % 3);
  }
  return bytes;
}

class FileStreamFaults : public testing::Test {
 protected:
  // Opens `name` with its system calls following `script`; nullptr when it cannot be opened.
  FileStream* openFaulty(const char* name, StreamMode mode, const Faults& script) {
    resetFaults(script);
    if (!openFileStream(stream_, nullptr, name, mode)) return nullptr;
    useTransfers(stream_, faultyTransfers);
    return &stream_;
  }

  ScratchDir scratch_;
  FileStream stream_{};
};

TEST_F(FileStreamFaults, ShortAndInterruptedWritesLoseNothing) {
  // Runs of every size class: copied into the buffer, filling it, and larger than a buffer.
  const std::string bytes = patterned(300000);
  const std::size_t runs[] = {1, 31, 4000, 70000, 5, 65536, 100000};
  const struct {
    const char* what;
    Faults script;
  } cases[] = {
      {"short writes", {.slice = 7}},
      {"interrupted calls", {.interruptEvery = 2}},
      {"both", {.slice = 1000, .interruptEvery = 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FileStream* stream = openFaulty("out.bin", StreamMode::Write, c.script);
    ASSERT_NE(stream, nullptr);
    std::size_t written = 0;
    for (std::size_t index = 0; written < bytes.size(); ++index) {
      std::size_t run = runs[index % std::size(runs)];
      if (run > bytes.size() - written) run = bytes.size() - written;
      ASSERT_TRUE(streamWrite(*stream, bytes.data() + written, run));
      written += run;
      ASSERT_EQ(streamPosition(*stream), static_cast<std::int64_t>(written));
    }
    EXPECT_TRUE(streamFlush(*stream));
    EXPECT_EQ(readFileBytes("out.bin"), bytes);
    EXPECT_TRUE(closeFileStream(*stream));
  }
}

TEST_F(FileStreamFaults, AWriteRefusedOnceIsReportedUntilCloseAndItsBytesAreKept) {
  // The system would take the bytes at the next try; the stream does not try again. What the
  // file holds is exactly what the system took before the refusal.
  const std::string bytes = patterned(1000);
  const struct {
    const char* what;
    Faults script;
    std::size_t reached;  // bytes in the file after the failed flush
  } cases[] = {
      {"refused at once", {.refusedWrite = 1}, 0},
      {"refused after two short writes", {.slice = 300, .refusedWrite = 3}, 600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FileStream* stream = openFaulty("out.bin", StreamMode::Write, c.script);
    ASSERT_NE(stream, nullptr);
    ASSERT_TRUE(streamWrite(*stream, bytes.data(), bytes.size())) << "held in the buffer";
    EXPECT_FALSE(streamFlush(*stream));
    EXPECT_EQ(stream->failure, StreamFailure::Write);
    EXPECT_EQ(stream->error, FaultCode);
    EXPECT_EQ(static_cast<std::size_t>(stream->writeNext - stream->writeBuffer),
              bytes.size() - c.reached)
        << "the bytes not written are still held";
    EXPECT_EQ(streamPosition(*stream), static_cast<std::int64_t>(bytes.size()));
    EXPECT_FALSE(streamFlush(*stream)) << "a later flush reports it again";
    EXPECT_FALSE(streamSync(*stream));
    EXPECT_FALSE(streamWrite(*stream, "x", 1)) << "a failed stream takes nothing more";
    EXPECT_FALSE(streamWrite(*stream, "", 0));
    EXPECT_EQ(readFileBytes("out.bin"), bytes.substr(0, c.reached));
    int error = 0;
    EXPECT_FALSE(closeFileStream(*stream, &error));
    EXPECT_EQ(error, FaultCode);
    EXPECT_EQ(readFileBytes("out.bin"), bytes.substr(0, c.reached)) << "the close wrote nothing";
  }
}

TEST_F(FileStreamFaults, ReadsGiveEveryLineUntilTheFileFailsAndThenReportIt) {
  std::string input;
  std::vector<std::string> lines;
  for (int index = 0; input.size() < 3 * StreamBufferSize; ++index) {
    lines.push_back(patterned(static_cast<std::size_t>(index % 50) * 7) + "@x");
    input += lines.back() + (index % 2 == 0 ? "\r\n" : "\n");
  }
  writeFileBytes("input.txt", input);
  // The failure falls inside a line past the first buffer's worth.
  const std::int64_t failsAt = static_cast<std::int64_t>(StreamBufferSize) + 5000;
  std::size_t wholeLines = 0;
  for (std::size_t end = 0; (end = input.find('\n', end)) < static_cast<std::size_t>(failsAt);
       ++end) {
    ++wholeLines;
  }
  ASSERT_NE(input[static_cast<std::size_t>(failsAt) - 1], '\n');
  const struct {
    const char* what;
    Faults script;
    bool fails;
  } cases[] = {
      {"short reads", {.slice = 333}, false},
      {"interrupted calls", {.interruptEvery = 2}, false},
      {"a read error part way", {.slice = 4000, .readableUpTo = failsAt}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FileStream* stream = openFaulty("input.txt", StreamMode::Read, c.script);
    ASSERT_NE(stream, nullptr);
    std::vector<std::string> read;
    Text line;
    while (readLineFromStream(stream, line) == LineEnd::Found) read.push_back(line);
    if (!c.fails) {
      EXPECT_EQ(read, lines);
      EXPECT_FALSE(streamFailed(*stream));
      EXPECT_TRUE(closeFileStream(*stream));
      continue;
    }
    ASSERT_EQ(read.size(), wholeLines);
    EXPECT_TRUE(std::equal(read.begin(), read.end(), lines.begin()));
    EXPECT_EQ(line, lines[wholeLines].substr(0, line.size())) << "the part read before the error";
    EXPECT_EQ(stream->failure, StreamFailure::Read);
    EXPECT_EQ(stream->error, FaultCode);
    EXPECT_EQ(readLineFromStream(stream, line), LineEnd::InputEnded) << "nothing more is read";
    EXPECT_EQ(line, "");
    int error = 0;
    EXPECT_FALSE(closeFileStream(*stream, &error));
    EXPECT_EQ(error, FaultCode);
  }
}

TEST_F(FileStreamFaults, AFullDeviceMetOnlyAtCloseFailsTheClose) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  FileStream stream;
  ASSERT_TRUE(openFileStream(stream, nullptr, "/dev/full", StreamMode::Write));
  ASSERT_TRUE(streamWrite(stream, "x@example.org\r\n", 15)) << "held in the buffer";
  int error = 0;
  EXPECT_FALSE(closeFileStream(stream, &error));
  EXPECT_EQ(error, ENOSPC);
}

}  // namespace
