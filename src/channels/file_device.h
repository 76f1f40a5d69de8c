// The file device: the operations table behind every channel opened on a named file, and what
// only a file channel can do or tell: make its data durable, settle where an Append channel's
// lines begin, report the state and owner of its file and a line too long to hold. The channel
// layer reaches the device through its table; openChannel reaches it through openFileDevice.
#pragma once

#include <cstddef>

#include "channels/channel.h"
#include "system/file_state.h"
#include "system/held_directory.h"

struct FileStream;

// The file device's operations table.
extern const ChannelHooks fileDeviceHooks;

// The slots of the table that run for every line of a list file: the end-of-file test, the line
// read and the write. The channel layer calls them directly on a file channel (one dispatch, in
// channel_table.cpp), so that an optimised build compiles them into the loop that copies a list.
// fileAtEnd: -1 when the stream has failed or run into the end, or once the position reaches
// the length measured at open (Input, Binary, Random); 0 otherwise. fileReadLine: the next line
// (line_reader.h); TransferFailed when a read failed or the line could not be held in memory,
// after which the channel is at its end and its close fails. fileWrite: Ok, or TransferFailed
// when the stream did not take every byte or failed earlier; a failed Append channel's file is
// cut back to its last whole line, never before where the channel's bytes began.
int fileAtEnd(Channel* record);
StatusCode fileReadLine(Channel* record, Text& destination);
StatusCode fileWrite(Channel* record, const char* bytes, std::size_t count);

// The file device's open on a record that openChannel prepared (mode and access set, `size`
// -1). Opens the name inside `directory` (null: the current directory) as a file stream
// (file_stream.h) in the stream modes that mode and access choose; never through a symbolic link
// at the name, and a truncating open makes a new file (see openFileStream). Returns and stores
// Ok (hooks, stream and access set; `size` set to the file's length when the open learnt it, a
// regular file); NotApplicable for a mode that is not one of the five; NotOpened when every
// stream mode failed, the name is empty or holds a NUL byte (the record is then left as given).
StatusCode openFileDevice(Channel* record,
                          const HeldDirectory* directory,
                          const char* name,
                          std::size_t nameLength);

// The state of the file a file channel has open as it was when opened (a new or emptied file:
// as created), when the file device learnt it then (a regular file): true with `state` set.
// False otherwise; the file's path can tell its state then.
bool fileDeviceState(const Channel* record, FileState* state);

// True when a file channel is open on a regular file that only this process's user can have
// prepared: owned by that user, with no other name, writable by no one else (on Windows: any
// regular file). The rejection log and the file lists must be such files: records or paths in a
// file another user controls could be read, removed or forged by that user.
bool fileDeviceOwnedAlone(const Channel* record);

// True when a file channel's file is still the only file at `name` in the current directory,
// and this user's alone (see streamStillNamed); false for any other channel.
bool fileDeviceStillNamed(const Channel* record, const std::string& name);

// The file stream a file channel owns; null for a closed record or another device's. Tests look
// at the stream's system handle through it.
FileStream* fileDeviceStream(const Channel* record);

// Pushes a file channel's buffered bytes to its file (its flush operation) and then the file's
// data to the disk, so that they survive a power loss. Ok; NotApplicable for no such or closed
// channel or a device that is not a file; TransferFailed when the flush or the sync failed.
StatusCode syncChannel(ChannelNumber channel);

// Settles where an Append channel's bytes begin, once its caller is the file's only writer (for
// the rejection log: once the run lock is held). When the file does not end with a line end (a
// write of an earlier run was cut off), one is written first, so that the first new line starts
// a line. A lock granted on the channel does the same; settling twice does nothing. Ok;
// NotApplicable for a channel that is not open in Append mode on the file device.
StatusCode settleAppendChannel(ChannelNumber channel);

// True when an Append channel's file is shorter than the end of what the channel wrote to it:
// someone cut it (a rotation that copies the log and empties it) and bytes written may be lost.
// The channel then goes on from the file's end as it is, and a second call is false until it is
// cut again. False for any other channel, and when the file's length cannot be had.
bool fileDeviceCutShort(const Channel* record);

// True when a read, write, flush or sync of a file channel's stream has failed; false for a
// channel that has not, is closed, or is another device's. Stores no status.
bool channelFailed(ChannelNumber channel);

// True when a read of the channel met a line too long to hold in memory (see readLineInto);
// false otherwise, and for a closed channel, another device's or a number without a record.
// Stores no status.
bool channelLineTooLong(ChannelNumber channel);
