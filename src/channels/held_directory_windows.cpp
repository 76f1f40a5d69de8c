// Held directories on Windows: the list file's directory is checked once, component by component
// below the current directory, and then named by its path: names inside it are opened as that
// path, a backslash and the name. No component may be a reparse point (a symbolic link, a
// junction, a mount point): each would lead the run elsewhere. What Windows cannot do here is
// keep the directories from being swapped after the check; see docs/windows.md.
#include <windows.h>

#include <string>

#include "channels/file_stream.h"
#include "channels/held_directory.h"
#include "channels/wide_names_windows.h"

namespace {

constexpr const char* NotBelow = "its path is not below the current directory";
constexpr const char* ThroughLink = "its path leads through a symbolic link";
constexpr const char* CannotOpen = "cannot open the file";
constexpr const char* OutsideCodePage =
    "its name holds characters outside the system's ANSI code page";

template <typename Character>
Character asciiLower(Character character) {
  return character >= 'A' && character <= 'Z' ? static_cast<Character>(character - 'A' + 'a')
                                              : character;
}

// Equal without regard to the case of ASCII letters, as Windows file systems match such names.
template <typename Character>
bool sameIgnoringAsciiCase(std::basic_string_view<Character> left,
                           std::basic_string_view<Character> right) {
  if (left.size() != right.size()) return false;
  for (std::size_t index = 0; index < left.size(); ++index) {
    if (asciiLower(left[index]) != asciiLower(right[index])) return false;
  }
  return true;
}

// A component that names an entry of its directory as itself: not empty, not "." or "..", and
// no ":" (which would name a stream of the entry instead).
bool ownComponent(std::wstring_view component) {
  return !component.empty() && component != L"." && component != L".." &&
         component.find(L':') == std::wstring_view::npos;
}

// The current directory as the search writes paths below it: without a "\\?\" prefix.
bool searchedDirectory(std::wstring& directory) {
  if (!currentDirectoryName(directory)) return false;
  const std::wstring_view view = directory;
  if (view.substr(0, 8) == L"\\\\?\\UNC\\") {
    directory = L"\\\\" + directory.substr(8);
  } else if (view.substr(0, 4) == L"\\\\?\\") {
    directory = directory.substr(4);
  }
  return true;
}

// Each directory of `parent` from the component at `start` down, from the top: null when each is
// a directory of its own; otherwise why the path is refused.
const char* refusedDirectoryBelow(std::wstring_view parent, std::size_t start) {
  while (start < parent.size() + 1) {
    std::size_t end = parent.find(L'\\', start);
    if (end == std::wstring_view::npos) end = parent.size();
    if (!ownComponent(parent.substr(start, end - start))) return NotBelow;
    const DWORD attributes = GetFileAttributesW(extendedFullName(parent.substr(0, end)).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return ThroughLink;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return CannotOpen;
    }
    start = end + 1;
  }
  return nullptr;
}

}  // namespace

bool holdListDirectory(std::string_view listedPath,
                       HeldDirectory& directory,
                       std::string& leaf,
                       std::string& reason) {
  releaseDirectory(directory);
  leaf.clear();
  // No Windows file name holds a "?" (a wildcard): in a listed path it stands for a character
  // the program's bytes cannot name (narrowName). Any name opened for it would be another file.
  if (listedPath.find('?') != std::string_view::npos) {
    reason = OutsideCodePage;
    return false;
  }
  std::string path(listedPath);
  toPlatformFileName(path);
  const std::size_t split = path.rfind('\\');
  std::wstring parent;
  std::wstring current;
  std::wstring wideLeaf;
  if (split == std::string::npos || split + 1 == path.size() ||
      !widenName(std::string_view(path).substr(split + 1), wideLeaf) || !ownComponent(wideLeaf)) {
    reason = NotBelow;
    return false;
  }
  if (!widenName(std::string_view(path).substr(0, split), parent) || !searchedDirectory(current)) {
    reason = CannotOpen;
    return false;
  }
  const std::wstring_view parentView = parent;
  if (!sameIgnoringAsciiCase(parentView.substr(0, current.size()), std::wstring_view(current)) ||
      (parent.size() > current.size() && parent[current.size()] != L'\\')) {
    reason = NotBelow;
    return false;
  }
  if (const char* refused = refusedDirectoryBelow(parentView, current.size() + 1)) {
    reason = refused;
    return false;
  }
  directory.path = path.substr(0, split);
  leaf = path.substr(split + 1);
  return true;
}

void releaseDirectory(HeldDirectory& directory) { directory = HeldDirectory{}; }

bool isListFileName(std::string_view leaf, std::string_view name) {
  return sameIgnoringAsciiCase(leaf, name);
}
