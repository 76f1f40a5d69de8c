// The entry check and the rejection log record. The date and time texts are converted and
// formatted once per second: doing it for every rejected entry cost more than the rest of the
// record, and the texts only change once a second.
#include "cleaning/entry_check.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "channels/channel.h"
#include "channels/file_device.h"
#include "print/print.h"
#include "system/file_stream.h"

namespace {

// The date and time texts of the second last converted, formatted once for that second: a
// record costs two clock reads, not two conversions and two formatted prints. Before the
// first conversion (or while the clock cannot be converted) they hold what the broken-down
// time last known, all zeros at first, gives.
struct ClockTexts {
  std::time_t second = static_cast<std::time_t>(-1);
  bool formatted = false;
  std::tm local{};
  char date[48] = {};
  char time[48] = {};
  std::size_t dateLength = 0;
  std::size_t timeLength = 0;
};
ClockTexts clockTexts;

std::size_t format(char (&buffer)[48], const char* pattern, int first, int second, int third) {
  const int length = std::snprintf(buffer, sizeof buffer, pattern, first, second, third);
  if (length <= 0) return 0;
  return static_cast<std::size_t>(length) < sizeof buffer ? static_cast<std::size_t>(length)
                                                          : sizeof buffer - 1;
}

// Reads the clock; converts and formats only when the second has changed.
const ClockTexts& textsNow() {
  const std::time_t now = std::time(nullptr);
  if (now == clockTexts.second && clockTexts.formatted) return clockTexts;
  if (const std::tm* local = std::localtime(&now)) {
    clockTexts.local = *local;
    clockTexts.second = now;
  } else if (clockTexts.formatted) {
    return clockTexts;
  }
  const std::tm& tm = clockTexts.local;
  clockTexts.dateLength =
      format(clockTexts.date, "%02d-%02d-%04d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
  clockTexts.timeLength =
      format(clockTexts.time, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  clockTexts.formatted = true;
  return clockTexts;
}

std::string_view dateView() {
  const ClockTexts& texts = textsNow();
  return {texts.date, texts.dateLength};
}

std::string_view timeView() {
  const ClockTexts& texts = textsNow();
  return {texts.time, texts.timeLength};
}

}  // namespace

bool isGoodEntry(std::string_view entry) {
  // Neither test has a side effect: a short entry is not searched.
  return entry.size() >= ShortestGoodEntry && entry.find(EntryMarker) != std::string_view::npos;
}

Text dateText() { return Text(dateView()); }

Text timeText() { return Text(timeView()); }

bool logRejectedEntry(std::string_view path, std::string_view entry) {
  return RejectionRecords(path).write(entry);
}

void RejectionRecords::buildHead(std::time_t second, std::string_view date, std::string_view time) {
  // The columns and pads the print operations give the three fields on a line that starts at
  // column 0: each field is followed by blanks up to the next multiple of 14.
  head_.clear();
  for (const std::string_view field : {date, time, path_}) {
    head_.append(field);
    const std::size_t lineEnd = head_.find_last_of("\r\n");
    const std::size_t column = lineEnd == Text::npos ? head_.size() : head_.size() - lineEnd - 1;
    constexpr std::size_t Zone = PrintZoneWidth;
    head_.append(Zone - column % Zone, ' ');
  }
  second_ = second;
}

void RejectionRecords::writeLines(const LineBlock& block,
                                  const std::uint16_t* lines,
                                  std::size_t count) {
  writeEach(count, [&](std::size_t index) { return block.line(lines[index]); });
}

void RejectionRecords::writeKept(const KeptEntries& entries) {
  writeEach(entries.size(), [&](std::size_t index) { return entries.at(index); });
}

template <class EntryAt>
void RejectionRecords::writeEach(std::size_t count, EntryAt entryAt) {
  Channel* log = lookupChannel(RejectionLogChannel);
  FileStream* stream = fileStream(fileChannelOf(RejectionLogChannel));
  std::size_t done = 0;
  if (stream != nullptr && log->column == 0) {
    setUpConsoleChannel();
    // Each record straight into the room the log's stream buffer offers, as write does.
    for (; done < count; ++done) {
      const ClockTexts& texts = textsNow();
      if (texts.second != second_ || head_.empty()) {
        buildHead(texts.second, {texts.date, texts.dateLength}, {texts.time, texts.timeLength});
      }
      const std::string_view entry = entryAt(done);
      const std::size_t size = head_.size() + entry.size() + 2;
      char* room = entry.size() <= ShortEntryBytes ? streamReserve(*stream, size) : nullptr;
      if (room == nullptr) break;
      std::memcpy(room, head_.data(), head_.size());
      copyShortRun(room + head_.size(), entry.data(), entry.size());
      room[size - 2] = '\r';
      room[size - 1] = '\n';
      streamCommit(*stream, size);
    }
    if (done > 0) setStatus(StatusCode::Ok);
  }
  for (; done < count; ++done) write(entryAt(done));
}

bool RejectionRecords::write(std::string_view entry) {
  Channel* log = lookupChannel(RejectionLogChannel);
  // A record starts a line of the log; should the last one have been cut short, the print
  // operations lay this one out from where that one stopped.
  if (log == nullptr || log->hooks == nullptr || log->column != 0) {
    printText(RejectionLogChannel, dateView(), PrintMask::PadToZone);
    printText(RejectionLogChannel, timeView(), PrintMask::PadToZone);
    printText(RejectionLogChannel, path_, PrintMask::PadToZone);
    printText(RejectionLogChannel, entry, PrintMask::NewLine);
    return lastStatus() == StatusCode::Ok;
  }
  // One clock reading gives the record both its date and its time.
  const ClockTexts& texts = textsNow();
  if (texts.second != second_ || head_.empty()) {
    buildHead(texts.second, {texts.date, texts.dateLength}, {texts.time, texts.timeLength});
  }
  setUpConsoleChannel();
  constexpr char LineEnd[2] = {'\r', '\n'};
  bool whole = true;
  if (entry.size() <= ShortEntryBytes) {
    // On a file, the whole record is built in the room its stream's buffer offers.
    FileStream* stream = fileStream(fileChannelOf(RejectionLogChannel));
    const std::size_t size = head_.size() + entry.size() + sizeof LineEnd;
    if (char* room = stream != nullptr ? streamReserve(*stream, size) : nullptr) {
      std::memcpy(room, head_.data(), head_.size());
      copyShortRun(room + head_.size(), entry.data(), entry.size());
      std::memcpy(room + head_.size() + entry.size(), LineEnd, sizeof LineEnd);
      streamCommit(*stream, size);
      setStatus(StatusCode::Ok);
      log->column = 0;
      return true;
    }
    // Otherwise the whole record, built after the head in the text that holds it, in one write.
    const std::size_t headLength = head_.size();
    head_.append(entry).append(LineEnd, sizeof LineEnd);
    whole = writeChannelBytes(log, head_.data(), head_.size()) == StatusCode::Ok;
    head_.resize(headLength);
  } else {
    whole = writeChannelBytes(log, head_.data(), head_.size()) == StatusCode::Ok;
    whole = writeChannelBytes(log, entry.data(), entry.size()) == StatusCode::Ok && whole;
    whole = writeChannelBytes(log, LineEnd, sizeof LineEnd) == StatusCode::Ok && whole;
  }
  // A record written whole ends its line; otherwise the column stays where it was, as after a
  // failed print.
  if (whole) log->column = 0;
  return whole;
}
