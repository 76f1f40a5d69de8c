// The system's error codes in words: errno on POSIX, GetLastError's codes on Windows. The one
// place each platform turns a code into text (system_error_posix.cpp, system_error_windows.cpp).
#pragma once

#include <string>
#include <string_view>

// The code of the last failed system call; read it at once after the call failed.
int lastSystemError();

// The system's words for `code`, without a line end or final full stop ("No such file or
// directory"); "error N" when the system has none.
std::string systemErrorText(int code);

// A reason: `what`, a colon and the system's words for `code` ("cannot replace it: Permission
// denied").
inline std::string failureText(std::string_view what, int code) {
  return std::string(what) + ": " + systemErrorText(code);
}
