// Numbered channels: a fixed table of records, each closed or open on a device. A record is open
// exactly when its `hooks` pointer is set. Channel 0 is the console (set up by the print layer),
// 1 to 254 are file channels, -1 is a reserved record that nothing opens. The whole interface is
// kept, though only tests unlock a channel or call the slots read, readWide, writeWide and
// readLineWide; what only files can do (sync, their state) is asked of file_device.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channels/text.h"
#include "status/status_store.h"
#include "system/held_directory.h"

using ChannelNumber = std::int32_t;

constexpr ChannelNumber ConsoleChannel = 0;
constexpr ChannelNumber HighestFileChannel = 254;

// The `size` of a channel whose length could not be measured at open (a pipe): its end is
// where its stream ends.
constexpr std::int64_t UnknownSize = INT64_MAX;

enum class OpenMode : std::int32_t {
  Binary = 0,
  Random = 1,
  Input = 2,   // read a file line by line
  Output = 3,  // create or empty a file and write it
  Append = 4,  // add to the end of a file, creating it if missing
};

struct Channel;

// A device's operations in fixed slot order, each taking the channel's record first; a null slot
// (the default): the device lacks the operation.
struct ChannelHooks {
  int (*atEnd)(Channel* record) = nullptr;         // -1 at end, 0 more to read
  StatusCode (*close)(Channel* record) = nullptr;  // releases the device handle
  // Moves to `offset` from `origin`: SEEK_SET, SEEK_CUR or SEEK_END.
  StatusCode (*seek)(Channel* record, std::int64_t offset, int origin) = nullptr;
  StatusCode (*tell)(Channel* record, std::int64_t* position) = nullptr;
  StatusCode (*read)(Channel* record, char* buffer, std::size_t* count) = nullptr;  // in/out count
  StatusCode (*readWide)(Channel* record, wchar_t* buffer, std::size_t* count) = nullptr;
  StatusCode (*write)(Channel* record, const char* bytes, std::size_t count) = nullptr;
  StatusCode (*writeWide)(Channel* record, const char16_t* units, std::size_t count) = nullptr;
  StatusCode (*lock)(Channel* record, std::int64_t offset, std::int64_t length) = nullptr;
  StatusCode (*unlock)(Channel* record, std::int64_t offset, std::int64_t length) = nullptr;
  StatusCode (*readLine)(Channel* record, Text& destination) = nullptr;
  StatusCode (*readLineWide)(Channel* record, wchar_t* destination, std::size_t size) = nullptr;
  void (*unused12)() = nullptr;  // always null
  StatusCode (*flush)(Channel* record) = nullptr;
};
static_assert(sizeof(ChannelHooks) == 14 * sizeof(void (*)()), "fourteen slots");

// The record of one channel. A closed record is all zeros.
struct Channel {
  OpenMode mode;
  std::int32_t recordLength;  // Random, Input, Output: given length if > 0, else 128; else 0
  std::int32_t encoding;      // 0: plain bytes, the only encoding recorded
  std::int64_t size;          // file length measured at open (Output: 0, unmeasurable:
                              // UnknownSize); never updated
  std::int32_t access;        // 0 unspecified, 1 read, 2 write, 3 read and write
  std::int32_t lockMode;      // recorded only
  std::int32_t column;        // bytes written on the current line; kept by the print layer
  std::uint32_t width;        // line width, 0 for no limit; only the console has one
  const ChannelHooks* hooks;  // null while closed
  void* stream;               // the device's handle: a FileStream* for a file channel
};

// Every channel record, defined in channel_table.cpp: index 0 is the reserved record -1, index 1
// the console (channel 0), indexes 2 to 255 the file channels 1 to 254. Reached only through
// lookupChannel, inline because every read, print and end-of-file test looks a record up, and
// constexpr so that a record's address can be a constant.
extern Channel channelTable[HighestFileChannel + 2];

// The record for `number`, or null when the number names no record (255 and above, -2 and below).
constexpr Channel* lookupChannel(ChannelNumber number) {
  if (number < -1 || number > HighestFileChannel) return nullptr;
  return &channelTable[number + 1];
}

// Opens `name` on `channel`. Returns and stores Ok; NotApplicable when the number has no record,
// the channel is already open (its file is left alone, nothing is created) or the mode is not one
// of the five; NotOpened when the file could not be opened in any stream mode tried;
// TransferFailed when measuring the size failed: the channel then stays open with UnknownSize,
// unless it could not be put back at the start (then it is closed).
// The first call of the process registers the channel closer, whatever its outcome.
StatusCode openChannel(std::string_view name,
                       OpenMode mode,
                       int access,
                       int lockMode,
                       ChannelNumber channel,
                       int recordLength);

// openChannel for a name inside a directory the program holds (held_directory.h): the name is
// opened relative to that directory, so that its path is not resolved again.
StatusCode openChannelIn(const HeldDirectory& directory,
                         std::string_view name,
                         OpenMode mode,
                         int access,
                         int lockMode,
                         ChannelNumber channel,
                         int recordLength);

// The door to the device behind every channel opened on a name, defined by that device (the file
// device). openChannel hands it a record prepared for the open (mode, access, lock mode and record
// length set, `size` -1). Opens `name` inside `directory` (null: the current directory) as a file
// stream (file_stream.h) in the stream modes that mode and access choose; never through a
// symbolic link at the name, and a truncating open makes a new file (see openFileStream). Returns
// and stores Ok (hooks, stream and access set; `size` set to the file's length when the open
// learnt it, a regular file); NotApplicable for a mode that is not one of the five; NotOpened when
// every stream mode failed, the name is empty or holds a NUL byte (the record is then left as
// given).
StatusCode openNamedDevice(Channel* record, const HeldDirectory* directory, std::string_view name);

// Opens `channel` in Append mode on what was the process's standard output, which from then on
// is the channel's alone: standard output itself now goes to standard error (takeStandardOutput,
// file_stream.h). Its records go out as on a file channel, written where standard output stood.
// Ok; NotApplicable when the number has no record or the channel is open; NotOpened when there
// is no standard output to take.
StatusCode openChannelOnStandardOutput(ChannelNumber channel);

// The door to the device behind a channel on standard output, defined by the file device; as
// openNamedDevice, for a record prepared by openChannelOnStandardOutput.
StatusCode openStandardOutputDevice(Channel* record);

// Closes one channel, or every file channel when `channel` is 0 (the console stays open).
// Returns and stores Ok; NotApplicable for a closed channel or a number without a record;
// TransferFailed when buffered bytes could not be written or the stream had failed earlier:
// the channel is closed and cleared all the same.
StatusCode closeChannel(ChannelNumber channel);

// Closes every open file channel (1 to 254) and clears their records. Stores no status.
void closeAllChannels();

// Sets every record (console, reserved, 1 to 254) to all zeros without closing anything.
void clearChannelTable();

// Registers the channel closer with atexit, once per process. Called by every openChannel.
void registerChannelCloser();

// Hands `length` bytes to the record's write operation in one call; does not touch `column`.
// NotApplicable for a missing or closed record or a device without write; otherwise the
// write's own status.
StatusCode writeChannelBytes(Channel* record, const char* bytes, std::size_t length);

// -1 when the channel is at its end (or its stream has failed), 0 when more can be read, and 1
// (with status NotApplicable stored) when the number has no record or the channel is closed.
int channelAtEnd(ChannelNumber channel);

// Replaces `destination` with the next line of the channel, without its line end.
// Ok (also at the end of the input: then the destination is empty); TransferFailed when a read of
// the channel's file has failed (the line may be cut short; the channel then reports its end) or
// the line was too long to hold in memory (the destination is empty; the rest of the file is
// skipped, the channel is at its end and its close reports the failure), or the run's
// interruption arrived while a long line was read (empty too, the rest skipped); NotApplicable,
// destination untouched, when the number has no record, the channel is closed or cannot read
// lines.
StatusCode readLineInto(ChannelNumber channel, Text& destination);

// Pushes a channel's buffered bytes to its file. Ok, NotApplicable (no such or closed channel, no
// flush operation) or TransferFailed when the bytes could not be written.
StatusCode flushChannel(ChannelNumber channel);

// Locks or unlocks a byte region of a channel's file against other processes (the program locks
// only the Windows run lock, which its close releases, and never unlocks); the lock does not
// wait; a lock is exclusive when the channel can write, shared otherwise. The first lock of an
// Append channel on a regular file that is granted (or finds no locks to be had) fixes where
// the lines it adds begin: when the file ends inside a line, CR LF is written first. Ok,
// NotApplicable (closed channel, no such operation, length not above 0, negative offset, a file
// system without locks) or TransferFailed (refused: another process holds the region).
StatusCode lockChannel(ChannelNumber channel, std::int64_t offset, std::int64_t length);
StatusCode unlockChannel(ChannelNumber channel, std::int64_t offset, std::int64_t length);
