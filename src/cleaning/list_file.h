// A list file while the run cleans it: one value from the path the file list gave to its
// replacement. The list is opened in its held directory and read on its channel; the system
// layer (system/list_replacement.h) resolves the directory, stages or makes the replacement and
// looks at the list again, always through what was opened.
//
// The cleaned copy "list.tmp" is made in the run's directory only when the list's first
// difference appears (a dropped entry, or a line that does not end in CR LF); a list that needs
// nothing is opened, read and closed. A copy replaces its list in the list's directory.
#pragma once

#include <cstdint>
#include <string>

#include "channels/channel.h"
#include "system/list_replacement.h"

// The channels a list file is read from and its cleaned copy written to.
constexpr ChannelNumber ListFileChannel = 2;
constexpr ChannelNumber CleanedCopyChannel = 3;

// A list file of the run: closes the list file and its copy (a copy not moved into place is
// removed first) and releases the directory when it goes.
struct ListFile : ListOnDisk {
  using ListOnDisk::ListOnDisk;
  ~ListFile();
};

// Resolves and holds the list file's directory, checks its name and opens it on
// ListFileChannel. True when it is open; otherwise false with a console text in `why` ("its
// path leads through a symbolic link", "cannot open the file") and nothing left open.
bool openListFile(ListFile& list, std::string& why);

// Where the next byte of the list file is read from.
std::int64_t listFilePosition();

// True when the list file, as opened, ends in CR LF (or is empty): read through its channel.
bool listFileEndsWithCrLf(const ListFile& list);

// Creates the cleaned copy on CleanedCopyChannel once the list's first `prefix` bytes are known
// to be kept as they are, and writes them there: from `buffered` when the caller holds them
// there, else read again from the list's channel. False with a console text in `why` (the copy
// then removed).
bool startCleanedCopy(ListFile& list, std::int64_t prefix, const char* buffered, std::string& why);

// True when a read of the list file failed or met a line too long to hold.
bool listFileReadFailed();

// Takes the first step of replacing the list file by its cleaned copy, provided the list still
// is the file that was read and the copy the file that was written. POSIX: the copy is moved
// beside the list and given its access (Staged), and it replaces the list when the batch closes;
// the ListFile then no longer holds the list's directory. Windows: the replacement itself. A copy
// that will not be moved into place is removed. The replacement's directory may be made durable
// only by syncReplacements: until then a power loss may undo it (the old list comes back whole,
// and the records of its dropped entries are then in the log twice: nothing is lost).
ListOutcome stageListFile(ListFile& list, std::string& reason);
