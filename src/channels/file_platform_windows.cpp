// The file device's system side on Windows: backslash names, files opened by CreateFileW with
// "\\?\" names (long paths, no name normalisation, reparse points refused) and handed to stdio,
// 64-bit positions through _ftelli64/_fseeki64, region locks with LockFile/UnlockFile on the
// stream's system handle, and the line reader's default chunk read over _getc_nolock.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cstring>

#include "channels/file_platform.h"
#include "channels/line_reader.h"
#include "channels/wide_names_windows.h"

namespace {

// How a stdio stream mode opens its file.
struct OpenRequest {
  DWORD access = 0;
  DWORD share = 0;
  DWORD disposition = 0;
  int runtimeFlags = 0;  // for _open_osfhandle
};

// False for a mode the file device never asks for.
bool requestFor(const char* streamMode, OpenRequest& request) {
  const bool update = std::strchr(streamMode, '+') != nullptr;
  request.runtimeFlags = _O_NOINHERIT | (update ? _O_RDWR : 0);
  switch (streamMode[0]) {
    case 'r':
      // Others may read and write it (a change shows in the file's state), but not rename or
      // remove it: no other file takes its name while it is read.
      request.access = GENERIC_READ | (update ? GENERIC_WRITE : 0);
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      request.disposition = OPEN_EXISTING;
      if (!update) request.runtimeFlags |= _O_RDONLY;
      return true;
    case 'w':
      // A new file (see openFileStream). Others may read it, but nobody can write into it
      // while the program writes it.
      request.access = GENERIC_WRITE | (update ? GENERIC_READ : 0);
      request.share = FILE_SHARE_READ;
      request.disposition = CREATE_NEW;
      if (!update) request.runtimeFlags |= _O_WRONLY;
      return true;
    case 'a':
      // No FILE_SHARE_DELETE: while the program has the file open, nobody can rename or
      // remove it. The rejection log is opened this way, and the run lock is a region lock on
      // it: a second run cannot find a fresh log under the name and go ahead beside this one.
      request.access = GENERIC_WRITE | (update ? GENERIC_READ : 0);
      request.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      request.disposition = OPEN_ALWAYS;
      request.runtimeFlags |= _O_APPEND | (update ? 0 : _O_WRONLY);
      return true;
    default:
      return false;
  }
}

std::FILE* closeAndFail(HANDLE handle) {
  CloseHandle(handle);
  return nullptr;
}

}  // namespace

void toPlatformFileName(std::string& name) {
  for (char& byte : name) {
    if (byte == '/') byte = '\\';
  }
}

std::FILE* openFileStream(const HeldDirectory* directory,
                          const std::string& name,
                          const char* streamMode,
                          OpenedFile* opened) {
  if (opened != nullptr) *opened = {};
  OpenRequest request;
  if (!requestFor(streamMode, request)) return nullptr;
  std::wstring fileName;
  const bool inside = directory != nullptr && !directory->path.empty();
  if (!extendedName(inside ? directory->path + "\\" + name : name, fileName)) return nullptr;
  const bool emptying = streamMode[0] == 'w';
  if (emptying && !DeleteFileW(fileName.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    // A file emptied for new content is never one found under the name: that may be a second
    // name of another file (a hard link) or a link to one, and its content would be destroyed
    // or, once the new file is moved into place, become that file's. What cannot be removed
    // (a directory, a read-only file, one open elsewhere) is left, and the open fails.
    return nullptr;
  }
  // A reparse point at the name (a symbolic link, a junction) is opened itself, not followed,
  // and then refused below.
  const HANDLE handle =
      CreateFileW(fileName.c_str(), request.access, request.share, nullptr, request.disposition,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
  if (disk && !GetFileInformationByHandle(handle, &info)) return closeAndFail(handle);
  const bool regular = disk && (info.dwFileAttributes &
                                (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (disk && !regular) return closeAndFail(handle);
  // The log must be a file on disk (not a device that swallows its records), and a new file
  // has no other name.
  if ((streamMode[0] == 'a' && !regular) || (emptying && (!regular || info.nNumberOfLinks != 1))) {
    return closeAndFail(handle);
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), request.runtimeFlags);
  if (descriptor == -1) return closeAndFail(handle);
  std::FILE* stream = _fdopen(descriptor, streamMode);
  if (stream == nullptr) {
    _close(descriptor);
    return nullptr;
  }
  // The state comes from the handle just opened: a later look by name could see another file.
  // A new file's state is the one it was created with.
  if (opened != nullptr && regular) {
    opened->regular = true;
    opened->identified = true;
    opened->ownedAlone = true;
    opened->state = fileStateOf(info);
  }
  return stream;
}

void noteStreamAtStart(std::FILE*) {}

std::int64_t tellFileStream(std::FILE* stream) { return _ftelli64(stream); }

bool regularFileSize(std::FILE* stream, std::int64_t* size) {
  struct _stati64 info {};
  if (_fstati64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
  *size = static_cast<std::int64_t>(info.st_size);
  return true;
}

bool writeFileStream(std::FILE* stream, const char* bytes, std::size_t count) {
  if (std::ferror(stream) != 0) return false;
  const std::size_t written = count == 0 ? 0 : std::fwrite(bytes, 1, count, stream);
  return written == count && std::ferror(stream) == 0;
}

bool fileStreamFailed(std::FILE* stream) { return std::ferror(stream) != 0; }

bool fileStreamFailedOrEnded(std::FILE* stream) {
  return std::ferror(stream) != 0 || std::feof(stream) != 0;
}

bool syncFileStream(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  const intptr_t osHandle = _get_osfhandle(_fileno(stream));
  if (osHandle == -1) return false;
  // A console or a pipe holds nothing to make durable.
  if (GetFileType(reinterpret_cast<HANDLE>(osHandle)) != FILE_TYPE_DISK) return true;
  return _commit(_fileno(stream)) == 0;
}

std::int64_t readFileAt(std::FILE* stream, std::int64_t offset, char* buffer, std::size_t count) {
  const intptr_t osHandle = _get_osfhandle(_fileno(stream));
  if (osHandle == -1) return -1;
  // The offset goes with the read; the stream appends at the file's end whatever the handle's
  // position.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  const DWORD wanted = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(osHandle), buffer, wanted, &read, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return read;
}

bool cutFile(std::FILE* stream, std::int64_t length) {
  return _chsize_s(_fileno(stream), length) == 0;
}

bool seekFileStream(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin) == 0;
}

StatusCode lockFileRegion(std::FILE* stream, std::int64_t offset, std::int64_t length, bool lock) {
  const intptr_t osHandle = _get_osfhandle(_fileno(stream));
  if (osHandle == -1) return StatusCode::TransferFailed;
  const HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
  const auto offsetLow = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
  const auto offsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  const auto lengthLow = static_cast<DWORD>(static_cast<std::uint64_t>(length));
  const auto lengthHigh = static_cast<DWORD>(static_cast<std::uint64_t>(length) >> 32);
  const BOOL done = lock ? LockFile(handle, offsetLow, offsetHigh, lengthLow, lengthHigh)
                         : UnlockFile(handle, offsetLow, offsetHigh, lengthLow, lengthHigh);
  if (done) return StatusCode::Ok;
  // Refused: another process holds the region. Any other failure (a share without locks)
  // means this file offers no locking at all.
  return GetLastError() == ERROR_LOCK_VIOLATION ? StatusCode::TransferFailed
                                                : StatusCode::NotApplicable;
}

std::string_view takeBufferedLine(std::FILE*, std::size_t) { return {}; }

std::size_t readStreamChunk(char* buffer, int size, std::FILE* stream) {
  // A per-byte read that stays inside the stream's buffer: a short line costs its own bytes,
  // not the chunk's size. Unlocked: the program has one thread, and a channel's stream is
  // used by nothing but its channel.
  std::size_t stored = 0;
  if (size <= 1) return 0;
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  while (stored < limit) {
    const int byte = _getc_nolock(stream);
    if (byte == EOF) break;
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  buffer[stored] = '\0';
  return stored;
}
