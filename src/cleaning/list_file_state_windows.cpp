// Windows: volume serial number, file index, size and last write time in 100 ns units.
#include <windows.h>

#include "cleaning/list_file_state.h"

bool readListFileState(const HeldDirectory&,
                       const std::string&,
                       const std::string& path,
                       ListFileState& state) {
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const BOOL read = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!read) return false;
  state.device = info.dwVolumeSerialNumber;
  state.fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  state.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                         info.nFileSizeLow);
  state.modifiedTime = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  state.modifiedFraction = 0;
  return true;
}
