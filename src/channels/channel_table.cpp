// The channel table and the operations that open, close, read, write, flush and lock channels,
// each through the device's table (an open through openNamedDevice).
#include <cstdio>
#include <cstdlib>

#include "channels/channel.h"

// Every channel record: all zeros (closed) at process start and after clearChannelTable;
// openChannel, the close operations and the print layer's console set-up change them.
Channel channelTable[HighestFileChannel + 2];

namespace {

// Set once the channel closer is registered with atexit; cleared when the closer has run.
bool closerRegistered = false;
// Set by clearChannelTable, so that the first open clears the table only when start-up did not.
bool tableCleared = false;

// The exit handler registered by the first open: closes whatever the program left open, so
// buffered output reaches its file.
void channelCloser() {
  if (!closerRegistered) return;
  closeAllChannels();
  closerRegistered = false;
}

void clearRecord(Channel* record) { *record = Channel{}; }

// 128 for the record-oriented modes when no positive length is given; 0 for Binary and Append.
std::int32_t recordLengthFor(OpenMode mode, int recordLength) {
  if (mode == OpenMode::Binary || mode == OpenMode::Append) return 0;
  return recordLength > 0 ? recordLength : 128;
}

// The `size` of a record while its device opens it: not measured yet.
constexpr std::int64_t NotMeasured = -1;

// measureSize for the modes that read: the length from the end's position unless the device's
// open learnt it, then the stream back at the start; the open's final status.
StatusCode measureReadLength(Channel* record) {
  const ChannelHooks* hooks = record->hooks;
  StatusCode told = StatusCode::Ok;
  if (record->size == NotMeasured) {
    // A length that cannot be measured (a pipe) leaves the end to the stream itself; a size of 0
    // would report a non-empty file as empty.
    if (hooks->seek(record, 0, SEEK_END) != StatusCode::Ok) {
      record->size = UnknownSize;
      return setStatus(StatusCode::TransferFailed);
    }
    told = hooks->tell(record, &record->size);
    if (told != StatusCode::Ok) record->size = UnknownSize;
  }
  // Back to the start; a stream that tells it stands there already (it was not moved) needs no
  // move.
  std::int64_t position = -1;
  if ((hooks->tell(record, &position) != StatusCode::Ok || position != 0) &&
      hooks->seek(record, 0, SEEK_SET) != StatusCode::Ok) {
    // Left at the end, every read would find nothing: do not keep such a channel.
    hooks->close(record);
    clearRecord(record);
    return setStatus(StatusCode::TransferFailed);
  }
  return setStatus(told);
}

// Measures the length of a freshly opened file into record->size (a regular file's length the
// device's open may have learnt already); the open's final status.
StatusCode measureSize(Channel* record) {
  const ChannelHooks* hooks = record->hooks;
  if (hooks->seek == nullptr || hooks->tell == nullptr) {
    if (record->size == NotMeasured) record->size = UnknownSize;
    return setStatus(StatusCode::Ok);
  }
  switch (record->mode) {
    case OpenMode::Binary:
    case OpenMode::Random:
    case OpenMode::Input:
      return measureReadLength(record);
    case OpenMode::Append:
      return hooks->tell(record, &record->size);
    case OpenMode::Output:
      record->size = 0;
      break;
  }
  return setStatus(StatusCode::Ok);
}

// Calls a slot of an open record's device; `missing` is what a device without the slot gives.
template <auto Slot, typename Result, typename... Arguments>
Result callSlot(Channel* record, Result missing, Arguments... arguments) {
  if (record->hooks->*Slot == nullptr) return missing;
  return (record->hooks->*Slot)(record, arguments...);
}

// The open record of `channel`, or null (with NotApplicable stored) for a closed channel or a
// number without a record.
Channel* openRecord(ChannelNumber channel) {
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks == nullptr) {
    setStatus(StatusCode::NotApplicable);
    return nullptr;
  }
  return record;
}

// Calls a slot of the open record of `channel`: NotApplicable, stored, for a closed channel, a
// number without a record or a device without the slot.
template <auto Slot, typename... Arguments>
StatusCode callOpenSlot(ChannelNumber channel, Arguments... arguments) {
  Channel* record = openRecord(channel);
  if (record == nullptr) return StatusCode::NotApplicable;
  if (record->hooks->*Slot == nullptr) return setStatus(StatusCode::NotApplicable);
  return (record->hooks->*Slot)(record, arguments...);
}

}  // namespace

StatusCode openChannel(std::string_view name,
                       OpenMode mode,
                       int access,
                       int lockMode,
                       ChannelNumber channel,
                       int recordLength) {
  return openChannelIn(HeldDirectory{}, name, mode, access, lockMode, channel, recordLength);
}

StatusCode openChannelIn(const HeldDirectory& directory,
                         std::string_view name,
                         OpenMode mode,
                         int access,
                         int lockMode,
                         ChannelNumber channel,
                         int recordLength) {
  registerChannelCloser();
  Channel* record = lookupChannel(channel);
  if (record == nullptr) return setStatus(StatusCode::NotApplicable);
  // A busy channel keeps its file and position, and the named file is not touched.
  if (record->hooks != nullptr) return setStatus(StatusCode::NotApplicable);

  clearRecord(record);
  record->mode = mode;
  record->access = access;
  record->lockMode = lockMode;
  record->recordLength = recordLengthFor(mode, recordLength);
  record->size = NotMeasured;
  const StatusCode opened = openNamedDevice(record, &directory, name);
  if (opened != StatusCode::Ok) {
    clearRecord(record);
    return opened;
  }
  return measureSize(record);
}

StatusCode openChannelOnStandardOutput(ChannelNumber channel) {
  registerChannelCloser();
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks != nullptr) return setStatus(StatusCode::NotApplicable);
  clearRecord(record);
  record->mode = OpenMode::Append;
  record->access = 2;
  record->size = UnknownSize;
  const StatusCode opened = openStandardOutputDevice(record);
  if (opened != StatusCode::Ok) clearRecord(record);
  return opened;
}

StatusCode closeChannel(ChannelNumber channel) {
  if (channel == ConsoleChannel) {
    closeAllChannels();
    return setStatus(StatusCode::Ok);
  }
  Channel* record = openRecord(channel);
  if (record == nullptr) return StatusCode::NotApplicable;
  const StatusCode closed =
      record->hooks->close != nullptr ? record->hooks->close(record) : StatusCode::Ok;
  // A failed close has still released the stream: the channel is closed either way.
  clearRecord(record);
  return setStatus(closed);
}

void closeAllChannels() {
  // The devices' close operations store their outcomes; this operation leaves none behind.
  const StatusCode before = lastStatus();
  for (ChannelNumber channel = 1; channel <= HighestFileChannel; ++channel) {
    Channel* record = lookupChannel(channel);
    if (record->hooks != nullptr && record->hooks->close != nullptr) record->hooks->close(record);
  }
  for (ChannelNumber channel = 1; channel <= HighestFileChannel; ++channel) {
    clearRecord(lookupChannel(channel));
  }
  setStatus(before);
}

void clearChannelTable() {
  for (Channel& record : channelTable) clearRecord(&record);
  tableCleared = true;
}

void registerChannelCloser() {
  if (closerRegistered) return;
  if (!tableCleared) clearChannelTable();
  std::atexit(channelCloser);
  closerRegistered = true;
}

StatusCode writeChannelBytes(Channel* record, const char* bytes, std::size_t length) {
  if (record == nullptr || record->hooks == nullptr) return setStatus(StatusCode::NotApplicable);
  const StatusCode written =
      callSlot<&ChannelHooks::write>(record, StatusCode::NotApplicable, bytes, length);
  return written == StatusCode::NotApplicable ? setStatus(written) : written;
}

int channelAtEnd(ChannelNumber channel) {
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks == nullptr) {
    setStatus(StatusCode::NotApplicable);
    return 1;
  }
  return callSlot<&ChannelHooks::atEnd>(record, -1);
}

StatusCode readLineInto(ChannelNumber channel, Text& destination) {
  Channel* record = lookupChannel(channel);
  if (record == nullptr || record->hooks == nullptr) return setStatus(StatusCode::NotApplicable);
  // Running into the end of the input is not a failure of the read: it leaves an empty line.
  // A failed read is: the line it gives may be cut short, and the caller must not take the
  // input as complete.
  const StatusCode read = callSlot<&ChannelHooks::readLine, StatusCode, Text&>(
      record, StatusCode::NotApplicable, destination);
  const bool passedOn = read == StatusCode::NotApplicable || read == StatusCode::TransferFailed;
  return setStatus(passedOn ? read : StatusCode::Ok);
}

StatusCode flushChannel(ChannelNumber channel) {
  return callOpenSlot<&ChannelHooks::flush>(channel);
}

StatusCode lockChannel(ChannelNumber channel, std::int64_t offset, std::int64_t length) {
  return callOpenSlot<&ChannelHooks::lock>(channel, offset, length);
}

StatusCode unlockChannel(ChannelNumber channel, std::int64_t offset, std::int64_t length) {
  return callOpenSlot<&ChannelHooks::unlock>(channel, offset, length);
}
