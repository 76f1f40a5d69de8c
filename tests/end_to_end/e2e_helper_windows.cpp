// A helper of the Windows end-to-end tests. It holds a file the way another Windows program would,
// until its standard input ends, and tells whether standard output is a usable console.
//   e2e_helper exclusive PATH            opens PATH allowing no other opening at all
//   e2e_helper readers PATH              opens PATH allowing others to read it, nothing more
//   e2e_helper briefly PATH WATCHED MS   holds PATH as "readers" does, but only until WATCHED
//                                        turns hidden and MS milliseconds more
//   e2e_helper lock OFFSET LENGTH PATH   opens PATH shared and locks a byte region of it
//   e2e_helper console                   prints "console COLUMNS ROWS BUFFER_ROWS" or "no console"
//   e2e_helper hold LISTED_PATH          holds the list file's directory as the cleaning run
//                                        does; prints "held LEAF" or "refused link", "refused not
//                                        below", "refused missing" ("refused error N" otherwise)
//   e2e_helper detached PROGRAM          runs PROGRAM without any standard handle; exits with
//                                        its exit code
//   e2e_helper attributes PATH [VALUE]   sets PATH's attributes to VALUE when given, then prints
//                                        them in hexadecimal
// The holding modes print "held" and a line end once the file is held; exit 1 when they cannot.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "system/held_directory.h"
#include "system/list_seam.h"

namespace {

int fail(const char* what, const char* path) {
  std::fprintf(stderr, "e2e_helper: cannot %s %s (error %lu)\n", what, path, GetLastError());
  return 1;
}

// Returns when standard input reaches its end or fails.
void waitForEndOfInput() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
}

void sayHeld() {
  std::fputs("held\n", stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool exclusive = argc == 3 && std::strcmp(argv[1], "exclusive") == 0;
  if (exclusive || (argc == 3 && std::strcmp(argv[1], "readers") == 0)) {
    const HANDLE file = CreateFileA(argv[2], GENERIC_READ, exclusive ? 0 : FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("open", argv[2]);
    sayHeld();
    waitForEndOfInput();
    CloseHandle(file);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "briefly") == 0) {
    const HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("open", argv[2]);
    sayHeld();
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    while ((attributes = GetFileAttributesA(argv[3])) == INVALID_FILE_ATTRIBUTES ||
           (attributes & FILE_ATTRIBUTE_HIDDEN) == 0) {
      Sleep(10);
    }
    Sleep(static_cast<DWORD>(std::strtoul(argv[4], nullptr, 0)));
    CloseHandle(file);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "lock") == 0) {
    const unsigned long long offset = std::strtoull(argv[2], nullptr, 0);
    const unsigned long long length = std::strtoull(argv[3], nullptr, 0);
    const HANDLE file = CreateFileA(argv[4], GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return fail("open", argv[4]);
    if (!LockFile(file, static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32),
                  static_cast<DWORD>(length), static_cast<DWORD>(length >> 32))) {
      return fail("lock a region of", argv[4]);
    }
    sayHeld();
    waitForEndOfInput();
    CloseHandle(file);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "console") == 0) {
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
      std::puts("no console");
      return 0;
    }
    std::printf("console %d %d %d\n", info.dwSize.X, info.srWindow.Bottom - info.srWindow.Top + 1,
                info.dwSize.Y);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
    HeldDirectory directory;
    std::string leaf;
    const SeamCode code = holdListDirectory(argv[2], directory, leaf);
    if (code.ok()) {
      std::printf("held %s\n", leaf.c_str());
    } else if (code.error == SeamError::Link) {
      std::puts("refused link");
    } else if (code.error == SeamError::NotBelow) {
      std::puts("refused not below");
    } else if (code.error == SeamError::Missing) {
      std::puts("refused missing");
    } else {
      std::printf("refused error %d\n", static_cast<int>(code.error));
    }
    return 0;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "attributes") == 0) {
    if (argc == 4 &&
        !SetFileAttributesA(argv[2], static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)))) {
      return fail("set the attributes of", argv[2]);
    }
    const DWORD attributes = GetFileAttributesA(argv[2]);
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail("read the attributes of", argv[2]);
    std::printf("0x%lx\n", attributes);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "detached") == 0) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // and every handle null
    PROCESS_INFORMATION process = {};
    std::string command = argv[2];
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process)) {
      return fail("start", argv[2]);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
  }
  std::fputs(
      "usage: e2e_helper exclusive|readers PATH | briefly PATH WATCHED MS | lock OFFSET LENGTH PATH"
      " | console"
      " | hold LISTED_PATH | attributes PATH [VALUE] | detached PROGRAM\n",
      stderr);
  return 2;
}
