// The run's commands on Windows, which starts no command processor: the search walks the tree
// itself (file_search_windows.cpp) and the run's own files are removed through their handles.
// What a path must be to stand in a command line is still checked, as every list's path is.
#include <windows.h>

#include <string>
#include <string_view>

#include "commands/run_command.h"
#include "system/reparse_points_windows.h"
#include "system/wide_text_windows.h"

namespace {

// Whether `name` is one of the devices the system's name handling puts in place of a file of
// that name in any directory: CON, PRN, AUX, NUL, COM0 to COM9 and LPT0 to LPT9 (with the
// superscript digits 1 to 3 too), CONIN$ and CONOUT$. The device is named whatever follows a
// dot or a colon, and with blanks before it.
bool deviceName(std::wstring_view name) {
  name = name.substr(0, name.find_first_of(L".:"));
  while (!name.empty() && name.back() == L' ') name.remove_suffix(1);
  std::wstring upper(name);
  for (wchar_t& character : upper) {
    if (character >= L'a' && character <= L'z') character = static_cast<wchar_t>(character - 32);
  }
  if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL" ||
      upper == L"CONIN$" || upper == L"CONOUT$") {
    return true;
  }
  if (upper.size() != 4 || (upper.substr(0, 3) != L"COM" && upper.substr(0, 3) != L"LPT")) {
    return false;
  }
  const wchar_t digit = upper[3];
  return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
         digit == L'\u00b3';
}

// Why the command processor would reach another file than `path` names, or null when it reaches
// that file. It hands names to the system's usual name handling, which drops the dots and blanks
// that end a component (so "X.\\blacklist.txt" becomes "X\\blacklist.txt", another directory's
// list), reads a colon after the drive as an alternate data stream of the file before it, and
// puts a device in place of a file named like one.
const char* pathTheProcessorAlters(std::wstring_view path) {
  const bool drive = path.size() >= 2 && path[1] == L':';
  std::size_t start = drive ? 2 : 0;
  if (path.find(L':', start) != std::wstring_view::npos) {
    return "its path holds a colon, which the command processor takes for a stream of another "
           "file";
  }
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    const std::wstring_view component = path.substr(start, end - start);
    // "." and ".." end in a dot too: the system takes them away with the name before.
    if (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
      return "a name on its path ends in a dot or a blank, which the command processor drops: "
             "it would replace another file";
    }
    if (deviceName(component))
      return "a name on its path is a device name to the command processor";
    start = end + 1;
  }
  return nullptr;
}

}  // namespace

const char* commandRefusesPath(std::string_view path) {
  // One search per byte looked for: find_first_of would search the set once per byte of the path.
  for (const char refused : {'\0', '\r', '\n', '%', '"'}) {
    if (path.find(refused) != std::string_view::npos) {
      return "its name cannot be passed to the command processor";
    }
  }
  std::wstring wide;
  if (!widenBytes(path, CP_ACP, wide)) return "its name cannot be passed to the command processor";
  // The command processor's commands refuse a path of MAX_PATH characters or more as too long
  // (wine's "move" even ends with success all the same): such a list is left alone.
  if (wide.size() >= MAX_PATH) return "its path is too long";
  return pathTheProcessorAlters(wide);
}

int removeOwnFile(std::string_view name) {
  std::wstring wide;
  if (!widenBytes(name, CP_ACP, wide)) return 1;
  // Opened itself (never a link's target), for removal and its attributes only.
  const HANDLE file =
      CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : 1;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  bool removed = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                 (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 !openedIsLink(file, info.dwFileAttributes) && info.nNumberOfLinks == 1;
  if (removed && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    // A read-only file cannot be marked for removal.
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = (info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) != 0
                               ? info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY
                               : FILE_ATTRIBUTE_NORMAL;
    removed = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  removed = removed && SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                                  sizeof disposition) != FALSE;
  CloseHandle(file);
  return removed ? 0 : 1;
}

void waitMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
