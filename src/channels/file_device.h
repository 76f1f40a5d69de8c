// The file device: the operations table behind every channel opened on a named file, and its file
// object, which holds everything the device keeps of one channel's file from open to close. The
// channel layer reaches the device through its table and opens it through openNamedDevice
// (channel.h); what only a file channel can do or tell is asked of its file object here.
#pragma once

#include <cstdint>
#include <string>

#include "channels/channel.h"
#include "system/file_state.h"
#include "system/file_stream.h"

// What an Append channel knows of the file of lines it adds to. `start` is the file's length at
// the open, then when its lines begin (beginAppending, or the first lock granted: no other run
// adds to the file from then on); the channel's bytes begin there. When a write or flush fails,
// the file may end inside a line: it is cut back to the end of its last whole line, never before
// `start`. A failed stream writes nothing more to its file, and its close holds the file to that
// length.
struct AppendedLines {
  std::int64_t start = -1;  // -1: not a regular file, whose lines are not the channel's business
  bool begun = false;       // `start` and the line start are fixed
  bool cut = false;         // failed and cut back to `cutLength`
  std::int64_t cutLength = 0;
};

// One file channel: made by the open, freed by the close (nothing in it needs destroying); the
// record's `stream` points at it.
// The stream comes first, so reaching it from the record costs what a stream pointer would.
struct FileChannel {
  FileStream stream;
  // What the platform learnt while opening the file, kept for the questions that follow the open
  // (its state, its owner): it spares asking the system again.
  OpenedFile opened;
  bool lineTooLong = false;  // a line of the file could not be held in memory
  AppendedLines append;      // Append channels only
};

// The access that makes an Output open create a new file only, refusing any name that is taken
// (a cleaned copy beside its list: a file found there is never emptied or reused).
constexpr int NewFileOnly = 4;

// Closes a file channel but keeps its file open: the handle, once every byte handed to the
// channel reached the file; -1 (the file closed) when they could not, or for a channel that is
// not a file's. The caller closes the handle.
FileHandle closeChannelKeepingFile(ChannelNumber channel);

// The file object of a channel open on the file device; null for a closed channel, another
// device's channel or a number without a record.
FileChannel* fileChannelOf(ChannelNumber channel);

// The file's stream; null for a null file.
inline FileStream* fileStream(FileChannel* file) {
  return file == nullptr ? nullptr : &file->stream;
}

// The state of the file as it was when opened (a new or emptied file: as created), when the open
// learnt it (a regular file): true with `state` set. False otherwise and for a null file; the
// file's path can tell its state then.
bool fileStateAtOpen(const FileChannel* file, FileState* state);

// True when the file is a regular file that only this process's user can have prepared: owned by
// that user, with no other name, writable by no one else (on Windows: judged by its owner and
// access list at open). The rejection log and the file lists must be such files: records or paths
// in a file another user controls could be read, removed or forged by that user.
bool fileOwnedAlone(const FileChannel* file);

// True when the file is still the only file at `name` in the current directory, and this user's
// alone (see streamStillNamed); false for a null file.
bool fileStillNamed(const FileChannel* file, const std::string& name);

// Pushes the channel's buffered bytes to its file (its flush operation) and then the file's data
// to the disk, so that they survive a power loss. Ok; NotApplicable for a null file;
// TransferFailed when the flush or the sync failed.
StatusCode syncFile(FileChannel* file);

// Fixes where an Append channel's lines begin, once its caller is the file's only writer (for the
// rejection log: once the run lock is held). When the file does not end with a line end (a write
// of an earlier run was cut off), one is written first, so that the first new line starts a line.
// A lock granted on the channel does the same; a second call does nothing. Ok; NotApplicable for
// a null file or one not open in Append mode.
StatusCode beginAppending(FileChannel* file);

// True when an Append channel's file is shorter than the end of what the channel wrote to it:
// someone cut it (a rotation that copies the log and empties it) and bytes written may be lost.
// The channel then goes on from the file's end as it is, and a second call is false until it is
// cut again. False for any other file, and when the file's length cannot be had.
bool fileCutShort(FileChannel* file);

// True when a read, write, flush or sync of the file's stream has failed. Stores no status.
bool fileFailed(const FileChannel* file);

// True when a read of the channel met a line too long to hold in memory (see readLineInto).
// Stores no status.
bool fileLineTooLong(const FileChannel* file);
