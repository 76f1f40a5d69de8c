// Reparse points: links (name surrogates) apart from the files and folders a filter serves.
#include "system/reparse_points_windows.h"

bool reparsePointIsLink(DWORD attributes, DWORD tag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  return tag == 0 || IsReparseTagNameSurrogate(tag);
}

DWORD entryAttributes(const std::wstring& name, bool& link) {
  link = false;
  // The directory's own record of the entry: its attributes and, for a reparse point, its tag
  // (the find data's dwReserved0), without opening the entry or what it points to.
  WIN32_FIND_DATAW found = {};
  const HANDLE search =
      FindFirstFileExW(name.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
  FindClose(search);
  link = reparsePointIsLink(found.dwFileAttributes, found.dwReserved0);
  return found.dwFileAttributes;
}

bool openedIsLink(HANDLE file, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return reparsePointIsLink(tag.FileAttributes | FILE_ATTRIBUTE_REPARSE_POINT, tag.ReparseTag);
}
