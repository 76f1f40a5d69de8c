#include "support/long_names_windows.h"

#include <windows.h>

std::string currentDirectory() {
  char buffer[MAX_PATH];
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  return std::string(buffer, length);
}

// Scratch names are ASCII: each byte widens to the character it is.
std::string longRelativeName(std::size_t length, const std::string& leaf) {
  const std::string here = currentDirectory();
  std::string relative;
  while (here.size() + 1 + relative.size() + leaf.size() < length) {
    relative += std::string(100, 'd') + "\\";
    const std::string made = "\\\\?\\" + here + "\\" + relative;
    CreateDirectoryW(std::wstring(made.begin(), made.end()).c_str(), nullptr);
  }
  return relative + leaf;
}

void removeLongName(std::string relative) {
  const std::string extended = "\\\\?\\" + currentDirectory() + "\\";
  std::string name = extended + relative;
  DeleteFileW(std::wstring(name.begin(), name.end()).c_str());
  for (std::size_t end = relative.rfind('\\'); end != std::string::npos;
       end = relative.rfind('\\')) {
    relative.resize(end);
    name = extended + relative;
    RemoveDirectoryW(std::wstring(name.begin(), name.end()).c_str());
  }
}
