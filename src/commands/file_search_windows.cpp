// Windows: the directory search is the run's own walk (FindFirstFileExW), which lists what
// "dir NAME /s/b/a-d" lists, in its order and form, but never enters a directory link: the
// command processor's "dir /s" follows junctions and directory links, so that a link loop made
// it walk forever and a link to a big tree read all of it. The file list is never opened by its
// name: whatever holds the name (a hard link to another file, a link, a stale list) is removed, a
// new private file is created, and the listing goes through that handle alone. A search that
// does not succeed removes it again.
#include "commands/file_search_windows.h"

#include <windows.h>

#include <string>
#include <utility>

#include "commands/file_search.h"
#include "console/console_writer.h"
#include "system/reparse_points_windows.h"
#include "system/system_error.h"
#include "system/wide_names_windows.h"

namespace {

// What the last search said about the file list it wrote: the file list's name, whether it found
// nothing, and otherwise why it failed.
std::string lastFileList;
bool lastFoundNothing = false;
std::string lastFailure;

// Closes a handle when it goes out of scope.
struct OwnedHandle {
  HANDLE handle = INVALID_HANDLE_VALUE;
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  explicit OwnedHandle(HANDLE opened) : handle(opened) {}
  ~OwnedHandle() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

bool sameIgnoringAsciiCase(std::wstring_view left, std::wstring_view right) {
  if (left.size() != right.size()) return false;
  const auto lower = [](wchar_t character) {
    return character >= L'A' && character <= L'Z' ? static_cast<wchar_t>(character - L'A' + L'a')
                                                  : character;
  };
  for (std::size_t index = 0; index < left.size(); ++index) {
    if (lower(left[index]) != lower(right[index])) return false;
  }
  return true;
}

// A directory waiting to be walked, and how far below the top it is.
struct Pending {
  std::wstring path;
  int depth;
};

std::string bytesOf(std::wstring_view wide) {
  bool exact = true;
  return narrowName(wide, exact);
}

// Why a search stops when its file list cannot take a line; the caller adds the name.
constexpr std::string_view CannotWrite = "cannot write the file list";

}  // namespace

SearchOutcome walkForListFiles(SearchSystem& system,
                               const std::wstring& top,
                               std::wstring_view listName,
                               const SearchBounds& bounds) {
  SearchOutcome outcome;
  const std::uint64_t start = system.milliseconds();
  std::uint64_t directories = 0;
  std::uint64_t written = 0;
  std::vector<Pending> pending = {{top, 0}};
  std::vector<SearchEntry> entries;
  std::vector<std::wstring> below;
  while (!pending.empty()) {
    Pending directory = std::move(pending.back());
    pending.pop_back();
    if (++directories > bounds.directories) {
      outcome.failure = "it met more than " + std::to_string(bounds.directories) + " folders";
      return outcome;
    }
    if (system.milliseconds() - start > bounds.milliseconds) {
      outcome.failure =
          "it took longer than " + std::to_string(bounds.milliseconds / 1000) + " seconds";
      return outcome;
    }
    entries.clear();
    const std::uint32_t error = system.readDirectory(directory.path, entries);
    if (error == ERROR_ACCESS_DENIED) {
      system.sayOnError("dir: cannot read directory \"" + bytesOf(directory.path) +
                        "\": " + systemErrorText(static_cast<int>(error)));
    } else if (error != 0 && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
               error != ERROR_DIRECTORY) {
      // Gone or no longer a directory since its parent was read: nothing of it to list.
      outcome.unread = true;
      system.sayOnConsole("The search could not read " + bytesOf(directory.path) + ": " +
                          systemErrorText(static_cast<int>(error)) +
                          "; the lists below it are not checked");
    }
    below.clear();
    for (const SearchEntry& entry : entries) {
      if (entry.name.empty() || entry.name == L"." || entry.name == L"..") continue;
      if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (!reparsePointIsLink(entry.attributes, entry.reparseTag)) below.push_back(entry.name);
        continue;
      }
      if (!sameIgnoringAsciiCase(entry.name, listName)) continue;
      const std::wstring path = directory.path + L"\\" + entry.name;
      if (path.find_first_of(L"\r\n") != std::wstring::npos) {
        system.sayOnError("dir: left out a path holding a line break: \"" + bytesOf(path) + "\"");
        continue;
      }
      const std::string line = bytesOf(path) + "\r\n";
      written += line.size();
      if (written > bounds.listingBytes) {
        outcome.failure =
            "its file list grew beyond " + std::to_string(bounds.listingBytes >> 20) + " MiB";
        return outcome;
      }
      if (!system.writeLine(line)) {
        outcome.failure = CannotWrite;
        return outcome;
      }
      ++outcome.matches;
    }
    if (!below.empty() && directory.depth >= bounds.depth) {
      system.sayOnError("dir: left out the directories in \"" + bytesOf(directory.path) +
                        "\": nested more than " + std::to_string(bounds.depth) + " levels deep");
      continue;
    }
    // Taken from the back: the first subdirectory is walked first, as "dir /s" walks them.
    for (auto name = below.rbegin(); name != below.rend(); ++name) {
      pending.push_back({directory.path + L"\\" + *name, directory.depth + 1});
    }
  }
  return outcome;
}

namespace {

// The system the real search reads, and the file list it writes through its handle.
class SystemSearch : public SearchSystem {
 public:
  explicit SystemSearch(HANDLE fileList) : fileList_(fileList) {}

  std::uint32_t readDirectory(const std::wstring& directory,
                              std::vector<SearchEntry>& entries) override {
    WIN32_FIND_DATAW found = {};
    const std::wstring pattern = extendedFullName(directory) + L"\\*";
    // Large fetches: one call to the file system returns many entries. A file system driver that
    // offers neither the basic level nor large fetches is asked the standard way.
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_INVALID_PARAMETER || GetLastError() == ERROR_INVALID_LEVEL)) {
      search = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &found, FindExSearchNameMatch,
                                nullptr, 0);
    }
    if (search == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    DWORD error = ERROR_SUCCESS;
    do {
      // The find data's dwReserved0 is the reparse tag of a reparse point.
      entries.push_back({found.cFileName, found.dwFileAttributes, found.dwReserved0});
    } while (FindNextFileW(search, &found));
    error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
  }

  std::uint64_t milliseconds() override { return GetTickCount64(); }

  bool writeLine(std::string_view line) override {
    buffer_.append(line);
    return buffer_.size() < 64 * 1024 || flush();
  }

  void sayOnConsole(std::string_view message) override {
    const std::string line = std::string(message) + "\r\n";
    consoleWrite(line.data(), static_cast<std::uint32_t>(line.size()));
  }

  void sayOnError(std::string_view message) override {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    // Everything the run printed before stands before it.
    consoleFlush();
    const std::string line = std::string(message) + "\r\n";
    DWORD done = 0;
    WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
  }

  // Writes what is buffered. False when the file list cannot take it.
  bool flush() {
    DWORD written = 0;
    for (std::size_t done = 0; done < buffer_.size(); done += written) {
      if (!WriteFile(fileList_, buffer_.data() + done, static_cast<DWORD>(buffer_.size() - done),
                     &written, nullptr) ||
          written == 0) {
        return false;
      }
    }
    buffer_.clear();
    return true;
  }

 private:
  HANDLE fileList_;
  std::string buffer_;
};

// Removes whatever holds the name and creates the file list anew: a private regular file on
// disk, with this one name, open for writing and its own removal, shared with nobody.
// The file the last search wrote its list into: volume and file index, zeros when none.
FileState lastFileListMade;

HANDLE createFileList(const std::wstring& name) {
  // A hard link loses only this name, a link is removed itself; a directory, a read-only file
  // or one another program holds stays, and the creation below fails.
  if (!DeleteFileW(name.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    lastFailure += ": another file holds its name and cannot be removed";
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, privateFileSecurity(),
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      openedIsLink(file, info.dwFileAttributes) || info.nNumberOfLinks != 1) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  lastFileListMade.device = info.dwVolumeSerialNumber;
  lastFileListMade.fileIndex =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return file;
}

// Removes the file list this search created, through its handle: a search that did not succeed
// leaves no partial listing behind.
void removeFileList(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The search into the held file list: 0 when it listed files, 1 when it found none, -1 when it
// failed (lastFailure says why).
int searchInto(HANDLE file, std::string_view listName) {
  const std::string failed = "The search for " + std::string(listName) + " failed: ";
  std::wstring top;
  std::wstring wideName;
  if (!searchedDirectory(top) || !widenName(listName, wideName)) {
    lastFailure = failed + "cannot read the current directory";
    return -1;
  }
  SystemSearch system(file);
  const SearchOutcome outcome = walkForListFiles(system, top, wideName);
  if (outcome.failure.empty() && !system.flush()) {
    lastFailure = failed + std::string(CannotWrite) + " " + lastFileList;
    return -1;
  }
  if (!outcome.failure.empty()) {
    lastFailure = failed + outcome.failure;
    if (outcome.failure == CannotWrite) lastFailure += " " + lastFileList;
    return -1;
  }
  if (outcome.matches == 0 && !outcome.unread) {
    // As the command processor says it, among the run's lines.
    system.sayOnError("File Not Found");
    lastFoundNothing = true;
    return 1;
  }
  return 0;
}

}  // namespace

int runFileSearch(std::string_view listName, const std::string& fileList) {
  lastFileList = fileList;
  lastFoundNothing = false;
  lastFailure = "Cannot make the file list " + fileList;
  lastFileListMade = FileState{};
  std::wstring name;
  if (!extendedName(fileList, name)) return -1;
  const OwnedHandle file(createFileList(name));
  if (file.handle == INVALID_HANDLE_VALUE) return -1;
  const int status = searchInto(file.handle, listName);
  if (status != 0) removeFileList(file.handle);
  return status;
}

bool searchFoundNothing(const std::string& fileList) {
  return fileList == lastFileList && lastFoundNothing;
}

std::string searchFailure(const std::string& fileList) {
  return fileList == lastFileList ? lastFailure : "Cannot make the file list " + fileList;
}

bool searchWrote(const std::string& fileList, const FileState& opened) {
  return fileList == lastFileList && lastFileListMade.fileIndex != 0 &&
         opened.device == lastFileListMade.device && opened.fileIndex == lastFileListMade.fileIndex;
}
