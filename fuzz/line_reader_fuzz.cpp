// Fuzzes the line reader, the end-of-file rule of input channels and the entry check against a
// reference written straight from the reader's rules:
//   - a line is every byte up to the next LF, without one CR right before that LF, whatever its
//     length; NUL and CR bytes inside it are data;
//   - the input ending first ends the line too: its trailing NUL bytes are dropped, then one
//     trailing CR, which counts as a line end found; otherwise "no line end found";
//   - an input channel is at its end once everything up to its length has been consumed;
//   - an entry is good when it is at least 7 bytes long and holds an "@".
// Each input is written to a scratch file and read twice: straight from a file stream with
// readLineFromStream, its reads cut into slices of a size taken from the input so that the
// stream's buffer ends anywhere, and as a list file through a real input channel (openChannel,
// channelAtEnd, readLineInto).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel.h"
#include "channels/line_reader.h"
#include "cleaning/entry_check.h"
#include "system/file_stream.h"

namespace {

struct ReferenceRead {
  std::string line;
  bool lineEndFound = false;
  std::size_t next = 0;  // position after the read
};

ReferenceRead referenceRead(std::string_view input, std::size_t position) {
  ReferenceRead read{"", false, position};
  const std::size_t lineFeed = input.find('\n', position);
  if (lineFeed != std::string_view::npos) {
    std::string_view line = input.substr(position, lineFeed - position);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    read.line = line;
    read.lineEndFound = true;
    read.next = lineFeed + 1;
    return read;
  }
  std::string_view line = input.substr(position);
  read.next = input.size();
  while (!line.empty() && line.back() == '\0') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
    read.lineEndFound = true;
  }
  read.line = line;
  return read;
}

bool referenceIsGood(std::string_view entry) {
  return entry.size() >= 7 && entry.find('@') != std::string_view::npos;
}

[[noreturn]] void mismatch(const char* what, std::size_t index) {
  std::fprintf(stderr, "line reader differs from the reference: %s at line %zu\n", what, index);
  std::abort();
}

// Reads of at most this many bytes per system call, as a pipe may deliver them.
std::size_t sliceSize = 1;
std::int64_t readInSlices(const FileStream& stream, char* buffer, std::size_t count, int* error) {
  return defaultFileTransfers().read(stream, buffer, count < sliceSize ? count : sliceSize, error);
}
constexpr FileTransfers slicedReads = {.read = readInSlices, .write = nullptr};

void checkStream(std::string_view input, const std::string& file) {
  FileStream opened;
  if (!openFileStream(opened, nullptr, file, StreamMode::Read)) std::abort();
  FileStream* stream = &opened;
  // Slices of 1 to 64 bytes, or whole buffers.
  sliceSize = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 65;
  if (sliceSize != 0) useTransfers(*stream, slicedReads);
  std::size_t position = 0;
  for (std::size_t index = 0;; ++index) {
    const ReferenceRead expected = referenceRead(input, position);
    Text line = "left over from before";
    const LineEnd end = readLineFromStream(stream, line);
    if (line != expected.line) mismatch("stream line", index);
    if ((end == LineEnd::Found) != expected.lineEndFound) mismatch("line end", index);
    if (static_cast<std::size_t>(streamPosition(*stream)) != expected.next) {
      mismatch("position", index);
    }
    position = expected.next;
    if (!expected.lineEndFound) break;  // the input has ended
  }
  if (!closeFileStream(*stream)) std::abort();
}

const std::string& scratchFile() {
  static const std::string name = [] {
    const char* directory = std::getenv("TMPDIR");
    std::string pattern = std::string(directory ? directory : "/tmp") + "/chklist-fuzz-XXXXXX";
    const int descriptor = mkstemp(pattern.data());
    if (descriptor < 0) std::abort();
    close(descriptor);
    return pattern;
  }();
  return name;
}

void writeScratchFile(std::string_view input) {
  std::FILE* file = std::fopen(scratchFile().c_str(), "wb");
  if (file == nullptr || std::fwrite(input.data(), 1, input.size(), file) != input.size()) {
    std::abort();
  }
  std::fclose(file);
}

void checkChannel(std::string_view input) {
  constexpr ChannelNumber ListFile = 2;
  if (openChannel(scratchFile(), OpenMode::Input, 0, 0, ListFile, 0) != StatusCode::Ok) {
    std::abort();
  }
  std::size_t position = 0;
  std::size_t index = 0;
  while (channelAtEnd(ListFile) == 0) {
    if (position >= input.size()) mismatch("not at its end after the last line", index);
    const ReferenceRead expected = referenceRead(input, position);
    Text entry = "left over from before";
    if (readLineInto(ListFile, entry) != StatusCode::Ok) mismatch("read status", index);
    if (entry != expected.line) mismatch("channel line", index);
    if (isGoodEntry(entry) != referenceIsGood(expected.line)) mismatch("entry check", index);
    position = expected.next;
    ++index;
  }
  if (channelAtEnd(ListFile) != -1) mismatch("end answer", index);
  if (position < input.size()) mismatch("at its end before the last line", index);
  if (closeChannel(ListFile) != StatusCode::Ok) std::abort();
  std::remove(scratchFile().c_str());  // nothing left behind when the fuzzer stops
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  writeScratchFile(input);
  checkStream(input, scratchFile());
  checkChannel(input);
  return 0;
}
