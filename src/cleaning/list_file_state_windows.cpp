// Windows: volume serial number, file index, size and last write time in 100 ns units, looked
// up through the "\\?\" wide name, so that a path beyond MAX_PATH characters is read too. A
// reparse point at the path is looked at itself, not followed, as the list file's open does.
#include <windows.h>

#include "channels/wide_names_windows.h"
#include "cleaning/list_file_state.h"

namespace {

// The list file at `path` opened for `access`, sharing everything with others, or
// INVALID_HANDLE_VALUE.
HANDLE openByPath(const std::string& path, DWORD access) {
  std::wstring name;
  if (!extendedName(path, name)) return INVALID_HANDLE_VALUE;
  return openExistingItself(name, access, ShareEverything);
}

}  // namespace

bool readListFileState(const HeldDirectory&,
                       const std::string&,
                       const std::string& path,
                       ListFileState& state) {
  const HANDLE file = openByPath(path, FILE_READ_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL read = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!read) return false;
  state = fileStateOf(info);
  return true;
}

bool listFileEndsWithCrLf(const HeldDirectory&,
                          const std::string&,
                          const std::string& path,
                          std::int64_t size) {
  if (size == 0) return true;
  if (size < 2) return false;
  const HANDLE file = openByPath(path, GENERIC_READ);
  if (file == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at = overlappedAt(static_cast<std::uint64_t>(size - 2));
  char tail[2] = {};
  DWORD got = 0;
  const BOOL read = ReadFile(file, tail, sizeof tail, &got, &at);
  CloseHandle(file);
  return read && got == 2 && tail[0] == '\r' && tail[1] == '\n';
}
