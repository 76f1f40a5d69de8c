// Windows start-up: standard handles that are not open forgotten, Windows older than 7 and a
// current directory the command processor cannot work in refused, the top-level fault filter and
// the floating-point unit's reset.
#include <float.h>
#include <windows.h>

#include <csignal>
#include <initializer_list>
#include <string>

#include "console/console_writer.h"
#include "frame/command_options.h"
#include "frame/start.h"
#include "system/wide_names_windows.h"

namespace {

// Hands access violations and arithmetic faults to their signal dispositions when one is set;
// since none is, every fault goes on to the system's default handling and its exit code.
LONG WINAPI faultFilter(EXCEPTION_POINTERS* exception) {
  const DWORD code = exception->ExceptionRecord->ExceptionCode;
  int signalNumber = 0;
  if (code == EXCEPTION_ACCESS_VIOLATION) {
    signalNumber = SIGSEGV;
  } else if ((code >= EXCEPTION_FLT_DENORMAL_OPERAND && code <= EXCEPTION_FLT_UNDERFLOW) ||
             code == EXCEPTION_FLT_STACK_CHECK || code == EXCEPTION_INT_DIVIDE_BY_ZERO) {
    signalNumber = SIGFPE;
  }
  if (signalNumber != 0) {
    auto handler = std::signal(signalNumber, SIG_DFL);
    std::signal(signalNumber, handler);
    if (handler != SIG_DFL && handler != SIG_IGN && handler != SIG_ERR) {
      handler(signalNumber);
      return EXCEPTION_CONTINUE_EXECUTION;
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// Forgets each standard handle that is not open in this process (a parent may pass a value that
// means nothing here). The system could give that value to the next file the run opens, the log
// or a list file, and the console's text would then land in it. Without a handle, the console
// shows nothing.
void forgetClosedStandardHandles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr) continue;
    SetLastError(NO_ERROR);
    if (handle == INVALID_HANDLE_VALUE ||
        (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() == ERROR_INVALID_HANDLE)) {
      SetStdHandle(which, nullptr);
    }
  }
}

// Ends the process, saying why, when the current directory is one the command processor cannot
// work in: started there (from Explorer or PowerShell in a network folder), it would search,
// move and delete in the Windows directory instead.
void refuseUnusableDirectory() {
  std::wstring directory;
  if (!currentDirectoryName(directory) || commandProcessorWorksIn(directory)) return;
  bool exact = true;
  const std::wstring_view view = directory;
  const bool extendedDrive =
      view.substr(0, 4) == L"\\\\?\\" && commandProcessorWorksIn(view.substr(4));
  const std::string line =
      "Cannot run in " + narrowName(directory, exact) +
      (extendedDrive ? ": the command processor cannot work in a \\\\?\\ path. Start chklist in " +
                           narrowName(view.substr(4), exact) + " instead.\r\n"
                     : std::string(": the command processor needs a drive letter. Map one to "
                                   "this folder (net use) and start chklist there.\r\n"));
  consoleWrite(line.data(), static_cast<std::uint32_t>(line.size()));
  endProcess(0);
}

// Ends the process, saying why, on Windows older than 7, the oldest the program is made for (the
// search's FindExInfoBasic and large fetches came with it). Asked through VerifyVersionInfoW:
// even where it reports an older version than the system's (8.1 and later, unmanifested), that
// is still 7 or later.
void refuseOlderWindows() {
  OSVERSIONINFOEXW wanted = {};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  wanted.dwMajorVersion = 6;
  wanted.dwMinorVersion = 1;
  DWORDLONG condition = 0;
  condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
  condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
  if (VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition) ||
      GetLastError() != ERROR_OLD_WIN_VERSION) {
    return;
  }
  constexpr std::string_view Line = "chklist needs Windows 7 or later: nothing is changed.\r\n";
  consoleWrite(Line.data(), static_cast<std::uint32_t>(Line.size()));
  endProcess(0);
}

}  // namespace

bool commandProcessorWorksIn(std::wstring_view directory) {
  // A "\\?\C:\..." current directory counts as a network one to the command processor too.
  const bool letter = !directory.empty() && ((directory[0] >= L'A' && directory[0] <= L'Z') ||
                                             (directory[0] >= L'a' && directory[0] <= L'z'));
  return letter && directory.size() >= 2 && directory[1] == L':' &&
         (directory.size() == 2 || directory[2] == L'\\');
}

void prepareProcess() {
  forgetClosedStandardHandles();
  refuseOlderWindows();
  refuseUnusableDirectory();
  SetUnhandledExceptionFilter(faultFilter);
  _fpreset();
  _controlfp(_MCW_EM, _MCW_EM);
  setFloatingPointControl();
}

void setFloatingPointControl() {
  // Precision and rounding control (0x30300) to 64-bit precision, round to nearest; the x64 SSE
  // unit has no precision control, so only rounding takes effect there.
  _controlfp(_RC_NEAR, _MCW_RC);
}

// The command processor's own tools answer "/?"; "-?" is its common twin.
bool isPlatformHelpOption(std::string_view argument) {
  return argument == "/?" || argument == "-?";
}
