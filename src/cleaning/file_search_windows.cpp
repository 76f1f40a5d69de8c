// Windows: dir ends with a failure when it finds nothing; its file list is then empty or missing.
#include <windows.h>

#include "cleaning/file_search.h"

bool searchFoundNothing(const std::string& fileList) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(fileList.c_str(), GetFileExInfoStandard, &data)) {
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && data.nFileSizeHigh == 0 &&
         data.nFileSizeLow == 0;
}
