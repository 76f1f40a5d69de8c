// The stand-in command processor of the Windows tests: the end-to-end helper, built beside them.
#pragma once

#include <windows.h>

#include <string>

// Its full path in UTF-8, or empty when it was not built.
inline std::string standInPath() {
  wchar_t self[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::wstring path(self, length);
  path = path.substr(0, path.rfind(L'\\') + 1) + L"e2e_helper.exe";
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  std::string bytes(path.size() * 4, '\0');
  bytes.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, nullptr)));
  return bytes;
}
