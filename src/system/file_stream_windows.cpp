// Our file streams' system side on Windows: backslash names, files opened by CreateFileW with
// "\\?\" names (long paths, no name normalisation, links refused) or relative to a
// held directory's handle, and ReadFile, WriteFile, SetFilePointerEx, FlushFileBuffers,
// SetEndOfFile and LockFileEx on the handle.
#include <windows.h>

#include <cstdio>

#include "system/file_stream.h"
#include "system/file_stream_system.h"
#include "system/reparse_points_windows.h"
#include "system/wide_names_windows.h"

namespace {

HANDLE handleOf(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// The most one ReadFile or WriteFile is asked to move: its count is 32 bits wide.
constexpr std::size_t LargestTransfer = 0x40000000;

// How a stream mode opens its file.
struct OpenRequest {
  DWORD access = 0;
  DWORD share = 0;
  DWORD disposition = 0;
};

OpenRequest requestFor(StreamMode mode) {
  OpenRequest request;
  switch (mode) {
    case StreamMode::Read:
    case StreamMode::Update:
      // Others may read and write it (a change shows in the file's state), but not rename or
      // remove it: no other file takes its name while it is read.
      request.access = GENERIC_READ | (mode == StreamMode::Update ? GENERIC_WRITE : 0);
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      request.disposition = OPEN_EXISTING;
      break;
    case StreamMode::Write:
    case StreamMode::UpdateNew:
      // A new file (see openFileStream), private to this user (privateFileSecurity): no other
      // user reads a private list's cleaned entries while they are written. This user's own
      // programs may read it, but nobody can write into it while the program writes it.
      request.access = GENERIC_WRITE | (mode == StreamMode::UpdateNew ? GENERIC_READ : 0);
      request.share = FILE_SHARE_READ;
      request.disposition = CREATE_NEW;
      break;
    case StreamMode::New:
      // The copy that replaces a list: renamed through its own handle later, so it is opened
      // for that; nobody else may write, rename or remove it while the run holds it.
      request.access = GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                       FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
      request.share = FILE_SHARE_READ;
      request.disposition = CREATE_NEW;
      break;
    case StreamMode::Append:
    case StreamMode::AppendRead:
      // No FILE_SHARE_DELETE: while the program has the file open, nobody can rename or
      // remove it. The rejection log is opened this way, and the run lock is a region lock on
      // it: a second run cannot find a fresh log under the name and go ahead beside this one.
      request.access = GENERIC_WRITE | (mode == StreamMode::AppendRead ? GENERIC_READ : 0);
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      request.disposition = OPEN_ALWAYS;
      break;
  }
  return request;
}

bool closeAndFail(HANDLE handle) {
  CloseHandle(handle);
  return false;
}

// Opens `name` by its "\\?\" path below the current directory. A reparse point at the name (a
// symbolic link, a junction) is opened itself, not followed, and then refused by the caller. The
// handle is not inherited by the commands the program runs.
HANDLE openByName(const std::string& name,
                  const OpenRequest& request,
                  bool emptying,
                  SECURITY_ATTRIBUTES* security) {
  std::wstring fileName;
  if (!extendedName(name, fileName)) return INVALID_HANDLE_VALUE;
  // A file emptied for new content is never one found under the name: that may be a second name
  // of another file (a hard link) or a link to one, and its content would be destroyed or, once
  // the new file is moved into place, become that file's. Whatever holds the name is removed
  // first; what cannot be removed (a directory, a read-only file, one open elsewhere) is left,
  // and the open fails.
  if (emptying && !DeleteFileW(fileName.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(fileName.c_str(), request.access, request.share, security, request.disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Opens `name`, one component, relative to the held directory's handle: the directory found
// when it was held, wherever it stands now, and never a link on the way.
HANDLE openInHeld(HANDLE directory,
                  const std::string& name,
                  const OpenRequest& request,
                  bool emptying,
                  SECURITY_ATTRIBUTES* security) {
  std::wstring wide;
  if (!widenName(name, wide)) return INVALID_HANDLE_VALUE;
  // Emptied as openByName empties: what holds the name is removed, through its own handle.
  if (emptying) {
    const HANDLE found = openInDirectory(directory, wide, DELETE, ShareEverything,
                                         Disposition::Existing, NameKind::File);
    if (found == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND) {
      return INVALID_HANDLE_VALUE;
    }
    if (found != INVALID_HANDLE_VALUE) {
      FILE_DISPOSITION_INFO disposition = {TRUE};
      const bool removed = SetFileInformationByHandle(found, FileDispositionInfo, &disposition,
                                                      sizeof disposition) != FALSE;
      CloseHandle(found);
      if (!removed) return INVALID_HANDLE_VALUE;
    }
  }
  const Disposition disposition = request.disposition == OPEN_EXISTING ? Disposition::Existing
                                  : request.disposition == CREATE_NEW  ? Disposition::New
                                                                       : Disposition::Always;
  return openInDirectory(directory, wide, request.access, request.share, disposition,
                         NameKind::File, security);
}

bool isDisk(HANDLE handle) { return GetFileType(handle) == FILE_TYPE_DISK; }

// `file` (opened at `name` without its reparse point's filter, with `info`) opened again at the
// same name as the filter serves it, for the same access: by the path, or relative to the held
// `directory` when there is one. The new handle, with `info` read anew, when it is the same file
// on the same volume; otherwise INVALID_HANDLE_VALUE. `file` is closed either way; it stays open
// until the new open is done, so nobody can rename or remove the name in between.
HANDLE openedThroughFilter(HANDLE file,
                           HANDLE directory,
                           const std::string& name,
                           const OpenRequest& request,
                           BY_HANDLE_FILE_INFORMATION& info) {
  std::wstring wide;
  HANDLE served = INVALID_HANDLE_VALUE;
  if (directory != nullptr) {
    if (widenName(name, wide)) {
      served = openInDirectory(directory, wide, request.access, request.share,
                               Disposition::Existing, NameKind::File, nullptr, false, true);
    }
  } else if (extendedName(name, wide)) {
    served = CreateFileW(wide.c_str(), request.access, request.share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  CloseHandle(file);
  if (served == INVALID_HANDLE_VALUE) return served;
  const FileState first = fileStateOf(info);
  BY_HANDLE_FILE_INFORMATION now{};
  if (!isDisk(served) || !GetFileInformationByHandle(served, &now) ||
      fileStateOf(now).device != first.device || fileStateOf(now).fileIndex != first.fileIndex) {
    CloseHandle(served);
    return INVALID_HANDLE_VALUE;
  }
  info = now;
  return served;
}

bool moveTo(HANDLE handle, std::int64_t offset, DWORD origin, std::int64_t* position) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER moved;
  if (!SetFilePointerEx(handle, distance, &moved, origin)) return false;
  if (position != nullptr) *position = moved.QuadPart;
  return true;
}

std::int64_t readHandle(const FileStream& stream, char* buffer, std::size_t count, int* error) {
  DWORD read = 0;
  const DWORD wanted = static_cast<DWORD>(count < LargestTransfer ? count : LargestTransfer);
  if (ReadFile(handleOf(stream.handle), buffer, wanted, &read, nullptr)) return read;
  const DWORD code = GetLastError();
  // The end of a file, or of a pipe whose writer has gone.
  if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) return 0;
  *error = static_cast<int>(code);
  return TransferRefused;
}

std::int64_t writeHandle(const FileStream& stream,
                         const char* bytes,
                         std::size_t count,
                         int* error) {
  const HANDLE handle = handleOf(stream.handle);
  // Appended bytes go to the file's end, wherever others have moved it.
  if (stream.appends && !moveTo(handle, 0, FILE_END, nullptr)) {
    *error = static_cast<int>(GetLastError());
    return TransferRefused;
  }
  DWORD written = 0;
  const DWORD wanted = static_cast<DWORD>(count < LargestTransfer ? count : LargestTransfer);
  if (WriteFile(handle, bytes, wanted, &written, nullptr)) return written;
  *error = static_cast<int>(GetLastError());
  return TransferRefused;
}

constexpr FileTransfers handleTransfers = {
    .read = readHandle,
    .write = writeHandle,
};

}  // namespace

const FileTransfers& defaultFileTransfers() { return handleTransfers; }

void toPlatformFileName(std::string& name) {
  for (char& byte : name) {
    if (byte == '/') byte = '\\';
  }
}

bool openSystemFile(const HeldDirectory* directory,
                    const std::string& name,
                    StreamMode mode,
                    FileHandle* handle,
                    OpenedFile* opened) {
  const OpenRequest request = requestFor(mode);
  const bool emptying = mode == StreamMode::Write || mode == StreamMode::UpdateNew;
  // A file the open creates (the cleaned copy, a new log) is private to this user.
  SECURITY_ATTRIBUTES* security =
      request.disposition == OPEN_EXISTING ? nullptr : privateFileSecurity();
  const HANDLE held = directory != nullptr && directory->handle != 0
                          ? reinterpret_cast<HANDLE>(directory->handle)
                          : nullptr;
  HANDLE file = held != nullptr ? openInHeld(held, name, request, emptying, security)
                                : openByName(name, request, emptying, security);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool disk = isDisk(file);
  if (disk && !GetFileInformationByHandle(file, &info)) return closeAndFail(file);
  const bool link = disk && openedIsLink(file, info.dwFileAttributes);
  if (disk && !link && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A cloud file, a deduplicated or compressed one: opened so, its filter stays out and the
    // handle reads what the volume holds for it, not its content. Opened again through the
    // filter, and taken only when that is the same file.
    file = openedThroughFilter(file, held, name, request, info);
    if (file == INVALID_HANDLE_VALUE) return false;
  }
  const bool regular = disk && !link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  if (disk && !regular) return closeAndFail(file);
  // The log must be a file on disk (not a device that swallows its records), and a new file
  // has no other name.
  const bool appending = mode == StreamMode::Append || mode == StreamMode::AppendRead;
  const bool made = emptying || mode == StreamMode::New;
  if ((appending && !regular) || (made && (!regular || info.nNumberOfLinks != 1))) {
    return closeAndFail(file);
  }
  *handle = reinterpret_cast<FileHandle>(file);
  // The state comes from the handle just opened: a later look by name could see another file.
  if (regular) {
    opened->regular = true;
    opened->identified = true;
    // A new file is this run's own; one found under the name must be this user's alone, with
    // no other name: through a hard link the records would reach another file as well.
    opened->ownedAlone = made || (info.nNumberOfLinks == 1 && ownedByThisUserAlone(file));
    opened->state = fileStateOf(file, info);
  }
  return true;
}

bool takeSystemStandardOutput(FileHandle* handle, OpenedFile* opened) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  // Commands started from now on get standard error as their standard output too.
  if (!SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE))) return false;
  *handle = reinterpret_cast<FileHandle>(output);
  BY_HANDLE_FILE_INFORMATION info{};
  if (isDisk(output) && GetFileInformationByHandle(output, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    opened->regular = true;
    opened->identified = true;
    opened->state = fileStateOf(output, info);
  }
  return true;
}

bool standardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool standardOutputIsTerminal() { return false; }

bool seekSystemFile(FileHandle handle, std::int64_t offset, int origin, std::int64_t* position) {
  // A pipe or a console has no position to move.
  if (!isDisk(handleOf(handle))) return false;
  const DWORD from = origin == SEEK_END ? FILE_END : origin == SEEK_CUR ? FILE_CURRENT : FILE_BEGIN;
  return moveTo(handleOf(handle), offset, from, position);
}

bool syncSystemFile(FileHandle handle, int* error) {
  // A console or a pipe holds nothing to make durable.
  if (!isDisk(handleOf(handle)) || FlushFileBuffers(handleOf(handle))) return true;
  *error = static_cast<int>(GetLastError());
  return false;
}

bool closeSystemFile(FileHandle handle, int* error) {
  if (CloseHandle(handleOf(handle))) return true;
  *error = static_cast<int>(GetLastError());
  return false;
}

bool currentFileSize(const FileStream& stream, std::int64_t* size) {
  const HANDLE handle = handleOf(stream.handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!isDisk(handle) || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  *size = fileStateOf(info).size;
  return true;
}

bool openedFileOwnedAlone(const OpenedFile& opened) { return opened.ownedAlone; }

bool streamStillNamed(const std::string&, const OpenedFile&) { return true; }

std::int64_t readFileAt(FileStream& stream, std::int64_t offset, char* buffer, std::size_t count) {
  const HANDLE handle = handleOf(stream.handle);
  OVERLAPPED at = overlappedAt(static_cast<std::uint64_t>(offset));
  const DWORD wanted = static_cast<DWORD>(count < LargestTransfer ? count : LargestTransfer);
  DWORD read = 0;
  const bool done = ReadFile(handle, buffer, wanted, &read, &at);
  const DWORD code = done ? 0 : GetLastError();
  // A read at an offset moves the handle's position too: back to where the stream's next
  // system read or write belongs (an appending stream finds the end before each write).
  if (!stream.appends) moveTo(handle, stream.offset, FILE_BEGIN, nullptr);
  if (done) return read;
  return code == ERROR_HANDLE_EOF ? 0 : -1;
}

bool cutFile(FileStream& stream, std::int64_t length) {
  const HANDLE handle = handleOf(stream.handle);
  const bool cut = moveTo(handle, length, FILE_BEGIN, nullptr) && SetEndOfFile(handle);
  if (!stream.appends) moveTo(handle, stream.offset, FILE_BEGIN, nullptr);
  return cut;
}

StatusCode lockFileRegion(FileStream& stream, std::int64_t offset, std::int64_t length, bool lock) {
  const HANDLE handle = handleOf(stream.handle);
  OVERLAPPED at = overlappedAt(static_cast<std::uint64_t>(offset));
  const auto lengthLow = static_cast<DWORD>(static_cast<std::uint64_t>(length));
  const auto lengthHigh = static_cast<DWORD>(static_cast<std::uint64_t>(length) >> 32);
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (stream.canWrite ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  const BOOL done = lock ? LockFileEx(handle, flags, 0, lengthLow, lengthHigh, &at)
                         : UnlockFileEx(handle, 0, lengthLow, lengthHigh, &at);
  if (done) return StatusCode::Ok;
  // Refused: another process holds the region. Any other failure (a share without locks)
  // means this file offers no locking at all.
  return GetLastError() == ERROR_LOCK_VIOLATION ? StatusCode::TransferFailed
                                                : StatusCode::NotApplicable;
}
