#include "system/wide_text_windows.h"

#include <windows.h>

bool widenBytes(std::string_view bytes, unsigned codePage, std::wstring& wide) {
  if (bytes.empty()) return false;
  const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
  if (length <= 0) return false;
  wide.assign(static_cast<std::size_t>(length), L'\0');
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                             static_cast<int>(bytes.size()), wide.data(), length) == length;
}
