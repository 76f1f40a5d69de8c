// POSIX: errno and strerror.
#include <cerrno>
#include <cstring>

#include "system/system_error.h"

int lastSystemError() { return errno; }

std::string systemErrorText(int code) {
  const char* text = std::strerror(code);
  return text != nullptr && *text != '\0' ? std::string(text) : "error " + std::to_string(code);
}
