// The file device's system side on Windows: backslash names, fopen, 64-bit positions through
// _ftelli64/_fseeki64, region locks with LockFile/UnlockFile on the stream's system handle,
// and the line reader's default chunk read over _getc_nolock.
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include "channels/file_platform.h"
#include "channels/line_reader.h"

void toPlatformFileName(std::string& name) {
  for (char& byte : name) {
    if (byte == '/') byte = '\\';
  }
}

std::FILE* openFileStream(const std::string& name, const char* streamMode, OpenedFile* opened) {
  // The length and state are measured later, when they are asked for.
  if (opened != nullptr) *opened = {};
  return std::fopen(name.c_str(), streamMode);
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
