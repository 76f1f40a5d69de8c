// Windows: the command processor's "dir", in UTF-16, its file list then turned into the
// program's byte form. The file list is never opened by its name for the command: whatever holds
// the name (a hard link to another file, a link, a stale list) is removed, a new private file is
// created, and its handle is the command's standard output. So the command writes into nothing
// but that file, and its content is this search's alone.
#include <windows.h>

#include <string>

#include "commands/file_search.h"
#include "commands/run_command.h"
#include "commands/run_command_windows.h"
#include "system/wide_names_windows.h"

namespace {

// The exit status "dir" ends with when it found no file of the name.
constexpr int FoundNone = 1;

// What the last search said about the file list it wrote: the file list's name, whether it found
// nothing, and otherwise why it failed.
std::string lastFileList;
bool lastFoundNothing = false;
std::string lastFailure;

// Closes a handle when it goes out of scope.
struct OwnedHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  explicit OwnedHandle(HANDLE opened) : handle(opened) {}
  ~OwnedHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// Removes whatever holds the name and creates the file list anew: a private regular file on
// disk, with this one name, open for reading and writing and shared with nobody.
HANDLE createFileList(const std::wstring& name) {
  // A hard link loses only this name, a link is removed itself; a directory, a read-only file
  // or one another program holds stays, and the creation below fails.
  if (!DeleteFileW(name.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    lastFailure += ": another file holds its name and cannot be removed";
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, privateFileSecurity(), CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// The whole content of the held file list, read from its start. False when it cannot be read.
bool readAll(HANDLE file, std::string& bytes) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr)) {
    if (count == 0) return true;
    bytes.append(buffer, count);
  }
  return false;
}

// The UTF-16 listing as lines of the program's bytes, each ending in CR LF. False when it is no
// whole number of code units.
bool turnListing(const std::string& bytes, std::string& lines) {
  if (bytes.size() % 2 != 0) return false;
  std::wstring units(bytes.size() / 2, L'\0');
  for (std::size_t index = 0; index < units.size(); ++index) {
    units[index] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * index]) |
                                        static_cast<unsigned char>(bytes[2 * index + 1]) << 8);
  }
  std::wstring_view rest = units;
  if (!rest.empty() && rest.front() == 0xFEFF) rest.remove_prefix(1);
  while (!rest.empty()) {
    const std::size_t end = rest.find(L'\n');
    std::wstring_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::wstring_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    if (line.empty()) continue;
    bool exact = true;
    lines += narrowName(line, exact);
    lines += "\r\n";
  }
  return true;
}

// Replaces the held file's content by `lines`.
bool rewrite(HANDLE file, const std::string& lines) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  DWORD written = 0;
  for (std::size_t done = 0; done < lines.size(); done += written) {
    if (!WriteFile(file, lines.data() + done, static_cast<DWORD>(lines.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return false;
    }
  }
  return SetEndOfFile(file) != FALSE;
}

// The search into the held file list: 0 when it listed files and the list was turned, the
// command's failing status (FoundNone with nothing written: found nothing), or -1.
int searchInto(HANDLE file, std::string_view listName) {
  const int status = runUnicodeCommandInto("dir " + std::string(listName) + " /s/b/a-d", file);
  const std::string failed = "The search for " + std::string(listName) + " failed: ";
  if (status == -1) {
    lastFailure = failed + "the command processor could not be started";
    return -1;
  }
  std::string bytes;
  if (!readAll(file, bytes)) {
    lastFailure = failed + "cannot read the file list " + lastFileList;
    return -1;
  }
  if (status != 0) {
    lastFoundNothing = status == FoundNone && bytes.empty();
    lastFailure = failed + "the command processor's dir ended with exit status " +
                  std::to_string(static_cast<unsigned>(status));
    return status;
  }
  std::string lines;
  if (!turnListing(bytes, lines) || !rewrite(file, lines)) {
    lastFailure = failed + "cannot write the file list " + lastFileList;
    return -1;
  }
  return 0;
}

}  // namespace

int runFileSearch(std::string_view listName, const std::string& fileList) {
  lastFileList = fileList;
  lastFoundNothing = false;
  lastFailure = "Cannot make the file list " + fileList;
  std::wstring name;
  if (!extendedName(fileList, name)) return -1;
  int status = -1;
  {
    const OwnedHandle file(createFileList(name));
    if (file.handle == INVALID_HANDLE_VALUE) return -1;
    status = searchInto(file.handle, listName);
  }
  // A file list the search could not finish is not left behind; one that found nothing is the
  // caller's to remove.
  if (status != 0 && !lastFoundNothing) removeOwnFile(fileList);
  return status;
}

bool searchFoundNothing(const std::string& fileList) {
  return fileList == lastFileList && lastFoundNothing;
}

std::string searchFailure(std::string_view, const std::string& fileList) {
  return fileList == lastFileList ? lastFailure : "Cannot make the file list " + fileList;
}
