// The rule that decides which entries of a list file stay, and the rejection log record.
#pragma once

#include <string_view>

#include "channels/text.h"

// The channel the rejection log "chklist.log" is open on.
constexpr int RejectionLogChannel = 9;

// True when the entry is at least 7 bytes long and holds an "@" anywhere.
bool isGoodEntry(std::string_view entry);

// Appends one record to the rejection log channel: date, time and path each padded to the next
// 14-column zone, then the entry and CR LF.
void logRejectedEntry(std::string_view path, std::string_view entry);

// Local date as MM-DD-YYYY and local time as HH:MM:SS; each reads the clock itself.
Text dateText();
Text timeText();
