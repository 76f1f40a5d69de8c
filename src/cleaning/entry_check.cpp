// The entry check and the rejection log record. The date and time texts come from one cached
// local-time conversion per second: converting on every rejected entry cost more than the rest
// of the record, and the texts only change once a second.
#include "cleaning/entry_check.h"

#include <cstdio>
#include <ctime>

#include "print/print.h"

namespace {

// The local broken-down time of the second last converted, and that second.
std::time_t convertedSecond = static_cast<std::time_t>(-1);
std::tm convertedTime{};

const std::tm& localNow() {
  const std::time_t now = std::time(nullptr);
  if (now != convertedSecond) {
    if (const std::tm* local = std::localtime(&now)) {
      convertedTime = *local;
      convertedSecond = now;
    }
  }
  return convertedTime;
}

Text formatted(const char* format, int first, int second, int third) {
  char buffer[48];
  const int length = std::snprintf(buffer, sizeof buffer, format, first, second, third);
  return length > 0 ? Text(buffer, static_cast<std::size_t>(length)) : Text();
}

}  // namespace

bool isGoodEntry(std::string_view entry) {
  const bool longEnough = entry.size() > 6;
  const bool holdsMark = entry.find('@') != std::string_view::npos;
  return longEnough && holdsMark;
}

Text dateText() {
  const std::tm& now = localNow();
  return formatted("%02d-%02d-%04d", now.tm_mon + 1, now.tm_mday, now.tm_year + 1900);
}

Text timeText() {
  const std::tm& now = localNow();
  return formatted("%02d:%02d:%02d", now.tm_hour, now.tm_min, now.tm_sec);
}

void logRejectedEntry(std::string_view path, std::string_view entry) {
  printText(RejectionLogChannel, dateText(), PrintMask::PadToZone);
  printText(RejectionLogChannel, timeText(), PrintMask::PadToZone);
  printText(RejectionLogChannel, path, PrintMask::PadToZone);
  printText(RejectionLogChannel, entry, PrintMask::NewLine);
}
