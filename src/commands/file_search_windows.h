// The Windows directory search's walk, apart from the system it reads: the tests give it trees
// of their own (entries, reparse tags, read errors, a clock) and the bounds it keeps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One entry of a directory as its listing gives it: the name, the attributes and, for a reparse
// point, its tag (FILE_ATTRIBUTE_* and IO_REPARSE_TAG_* values).
struct SearchEntry {
  std::wstring name;
  std::uint32_t attributes = 0;
  std::uint32_t reparseTag = 0;
};

// What the walk reads and where its results go.
class SearchSystem {
 public:
  virtual ~SearchSystem() = default;
  // Replaces `entries` with those of the directory at the full path `directory` (no trailing
  // backslash). 0, or the system's error code (the entries read before it are kept).
  virtual std::uint32_t readDirectory(const std::wstring& directory,
                                      std::vector<SearchEntry>& entries) = 0;
  // Milliseconds on a clock that only moves forward.
  virtual std::uint64_t milliseconds() = 0;
  // Appends one line (a path in the program's byte form, CR LF) to the file list. False when it
  // cannot be written.
  virtual bool writeLine(std::string_view line) = 0;
  // A message of the search's own: on the console (lists left unchecked), or on standard error
  // (what the user chose: a folder the user may not read).
  virtual void sayOnConsole(std::string_view message) = 0;
  virtual void sayOnError(std::string_view message) = 0;
};

// How far one search goes. Deeper directories are left out and said, as on POSIX; a search that
// meets more directories, writes more or takes longer than this fails.
struct SearchBounds {
  int depth = 256;
  std::uint64_t directories = 1000000;
  std::uint64_t listingBytes = std::uint64_t{256} << 20;
  std::uint64_t milliseconds = 10 * 60 * 1000;
};

struct SearchOutcome {
  std::uint64_t matches = 0;
  bool unread = false;  // a directory could not be read for other reasons than access
  std::string failure;  // empty when the walk ended; otherwise why it stopped (no list is read)
};

// Lists every file named `listName` (ASCII letters in any case) in `top` and every directory
// below it, the way "dir NAME /s/b/a-d" lists them: full paths, a directory's own matches first,
// then its subdirectories in the order its listing gives them. Never enters a link
// (reparsePointIsLink): a junction loop or a link out of the tree costs nothing.
SearchOutcome walkForListFiles(SearchSystem& system,
                               const std::wstring& top,
                               std::wstring_view listName,
                               const SearchBounds& bounds = SearchBounds{});
