// Windows: the command processor's "dir", in UTF-16, its file list then turned into the
// program's byte form. "dir" ends with a failure when it finds nothing, after the redirection
// made its file list, empty. The file list is opened for writing as the redirection would have:
// when that is refused, so was the redirection, whatever the file holds.
#include <windows.h>

#include "channels/file_stream.h"
#include "channels/wide_names_windows.h"
#include "cleaning/file_search.h"
#include "commands/run_command.h"

namespace {

// The whole content of `fileList`, a regular file reached by no reparse point, as UTF-16 code
// units. False when it cannot be read or is no whole number of units.
bool readUnits(const std::string& fileList, std::wstring& units) {
  FileStream* stream = openFileStream(nullptr, fileList, StreamMode::Read);
  if (stream == nullptr) return false;
  std::string bytes;
  char buffer[65536];
  std::size_t count = 0;
  while ((count = streamRead(*stream, buffer, sizeof buffer)) > 0) bytes.append(buffer, count);
  const bool read = !streamFailed(*stream);
  closeFileStream(stream);
  if (!read || bytes.size() % 2 != 0) return false;
  units.resize(bytes.size() / 2);
  for (std::size_t index = 0; index < units.size(); ++index) {
    units[index] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * index]) |
                                        static_cast<unsigned char>(bytes[2 * index + 1]) << 8);
  }
  return true;
}

// Rewrites the UTF-16 file list as lines of the program's bytes, each ending in CR LF.
bool turnFileList(const std::string& fileList) {
  std::wstring units;
  if (!readUnits(fileList, units)) return false;
  std::wstring_view rest = units;
  if (!rest.empty() && rest.front() == 0xFEFF) rest.remove_prefix(1);
  std::string lines;
  while (!rest.empty()) {
    std::size_t end = rest.find(L'\n');
    std::wstring_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::wstring_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    if (line.empty()) continue;
    bool exact = true;
    lines += narrowName(line, exact);
    lines += "\r\n";
  }
  // A new file: whatever took the name meanwhile is not written through.
  FileStream* stream = openFileStream(nullptr, fileList, StreamMode::Write);
  if (stream == nullptr) return false;
  const bool written = streamWrite(*stream, lines.data(), lines.size());
  return closeFileStream(stream) && written;
}

}  // namespace

int runFileSearch(std::string_view listName, const std::string& fileList) {
  const int status = runUnicodeCommand("dir " + std::string(listName) + " /s/b/a-d > " + fileList);
  if (status != 0) return status;
  return turnFileList(fileList) ? 0 : -1;
}

bool searchFoundNothing(const std::string& fileList) {
  std::wstring name;
  if (!extendedName(fileList, name)) return false;
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool empty =
      GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
      info.nFileSizeHigh == 0 && info.nFileSizeLow == 0;
  CloseHandle(file);
  return empty;
}
