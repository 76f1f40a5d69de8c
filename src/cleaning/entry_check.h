// The rule that decides which entries of a list file stay, and the rejection log record.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "channels/line_block.h"
#include "channels/text.h"

// The channel the rejection log "chklist.log" is open on.
constexpr int RejectionLogChannel = 9;

// True when the entry is at least 7 bytes long and holds an "@" anywhere.
bool isGoodEntry(std::string_view entry);

// The byte a good entry holds, and its shortest length: blocks of a list file's lines are taken
// with the byte as their marker.
constexpr char EntryMarker = '@';
constexpr std::size_t ShortestGoodEntry = 7;

// isGoodEntry(block.line(line)) for a block taken with EntryMarker, from what its scan found.
inline bool isGoodEntry(const LineBlock& block, std::size_t line) {
  return block.marked[line] && block.length(line) >= ShortestGoodEntry;
}

// Dropped entries held in order until their records can be written: a worker reads a list
// ahead, and only the committing thread writes the log.
class KeptEntries {
 public:
  void add(std::string_view entry) {
    bytes_.append(entry);
    ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  }
  std::size_t size() const { return ends_.size(); }
  std::string_view at(std::size_t index) const {
    const std::size_t start = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(bytes_).substr(start, ends_[index] - start);
  }

 private:
  std::string bytes_;
  std::vector<std::uint32_t> ends_;  // where each entry ends in bytes_
};

// Appends one record to the rejection log channel: date, time and path each padded to the next
// 14-column zone, then the entry and CR LF. True when the whole record was handed over to the
// log's channel; false when a write of it failed or the channel is not open. A record handed
// over can still be lost by a later flush: that failure shows at the next record, flush or sync
// of the log. Once a write has failed, the log is cut back to its last whole record and takes
// nothing more.
bool logRejectedEntry(std::string_view path, std::string_view entry);

// The rejection records of one list file, written as logRejectedEntry writes them. The part
// before the entry (date, time and path, each with its pad) is the same for every record of the
// list within one second: it is built once per second, and each record is that part, the entry
// and CR LF appended to the log's buffer.
class RejectionRecords {
 public:
  explicit RejectionRecords(std::string_view path) : path_(path) {}

  // As logRejectedEntry(path, entry).
  bool write(std::string_view entry);

  // write for each of the `count` lines of `block` numbered in `lines`, in that order.
  void writeLines(const LineBlock& block, const std::uint16_t* lines, std::size_t count);

  // write for each entry kept, in order.
  void writeKept(const KeptEntries& entries);

 private:
  template <class EntryAt>
  void writeEach(std::size_t count, EntryAt entryAt);

  // Entries up to this length are written with the head as one write; longer ones after it.
  static constexpr std::size_t ShortEntryBytes = 4096;

  void buildHead(std::time_t second, std::string_view date, std::string_view time);

  std::string_view path_;
  Text head_;                // date, time and path with their pads
  std::time_t second_ = -1;  // the clock's second head_ was built for
};

// Local date as MM-DD-YYYY and local time as HH:MM:SS; each reads the clock itself.
Text dateText();
Text timeText();
