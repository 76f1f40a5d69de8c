// Which reparse points are links. A name surrogate (a symbolic link, a junction, a mount point)
// stands for another name and leads the run elsewhere; every other reparse point (a cloud file
// of OneDrive Files On-Demand, a deduplicated or WOF-compressed file) is a file or folder like
// any other, whose content its file system filter serves.
#pragma once

#include <windows.h>

#include <string>

// True when an entry with `attributes` and the reparse tag `tag` is a link: a reparse point whose
// tag is a name surrogate (IsReparseTagNameSurrogate), or whose tag is not known (0, as wine
// reports a Unix symbolic link), which counts as one. False for any entry that is no reparse
// point.
bool reparsePointIsLink(DWORD attributes, DWORD tag);

// The attributes of the entry `name` (a "\\?\" name) itself, as its directory lists it, never a
// link's target; `link` receives whether it is a link (reparsePointIsLink). INVALID_FILE_ATTRIBUTES
// when there is no such entry or it cannot be looked at. `name` holds no wildcard ("*", "?").
DWORD entryAttributes(const std::wstring& name, bool& link);

// Whether the file open on `file` (opened with FILE_FLAG_OPEN_REPARSE_POINT, so a link is open
// itself) is a link, given the `attributes` its handle reports. A reparse point whose tag cannot
// be read counts as one.
bool openedIsLink(HANDLE file, DWORD attributes);
