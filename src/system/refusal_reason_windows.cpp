// Windows: the log's name is looked at without following a link; the system's reason
// for a failed open is given in its own words.
#include <windows.h>

#include <string>

#include "system/refusal_reason.h"
#include "system/reparse_points_windows.h"
#include "system/system_error.h"
#include "system/wide_names_windows.h"

std::string refusalReason(std::string_view name, int openError) {
  const std::string file(name);
  std::wstring wide;
  bool link = false;
  const DWORD attributes =
      extendedName(file, wide) ? entryAttributes(wide, link) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const int error = openError != 0 ? openError : static_cast<int>(GetLastError());
    return "it cannot be created: " + systemErrorText(error);
  }
  // Only a link counts as a reparse point here: a cloud or compressed file is a file.
  if (link) return "it is a reparse point";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "it is not a regular file";
  if (openError != 0) return "it cannot be opened: " + systemErrorText(openError);
  {
    const HANDLE opened =
        openExistingItself(wide, READ_CONTROL | FILE_READ_ATTRIBUTES, ShareEverything);
    if (opened != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info{};
      const bool links = GetFileInformationByHandle(opened, &info) && info.nNumberOfLinks > 1;
      const bool alone = ownedByThisUserAlone(opened);
      CloseHandle(opened);
      if (links) return "it has more than one name (hard links)";
      if (!alone) return "another user owns it or may change it";
    }
  }
  return "it cannot be opened";
}

// A file's owner is not looked up here: the name of the file is reason enough.
std::string nameOwnerText(std::string_view) { return {}; }
