// Windows: the command processor's "dir" ends with a failure when it finds nothing, after the
// redirection made its file list, empty. The file list is opened for writing as the redirection
// would have: when that is refused, so was the redirection, whatever the file holds.
#include <windows.h>

#include "channels/wide_names_windows.h"
#include "cleaning/file_search.h"

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
