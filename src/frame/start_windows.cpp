// Windows start-up: standard handles that name nothing are dropped, the top-level fault filter
// and the floating-point unit's reset.
#include <float.h>
#include <windows.h>

#include <csignal>
#include <initializer_list>

#include "frame/start.h"

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

// A standard handle that names nothing open (missing, or closed by whoever passed it on) is set
// to none: its value could otherwise be the next file the program opens, and console output
// would go into that file. With no standard output handle the console writer writes nothing.
void dropDeadStandardHandles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr) continue;
    SetLastError(NO_ERROR);
    if (handle == INVALID_HANDLE_VALUE ||
        (GetFileType(handle) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)) {
      SetStdHandle(which, nullptr);
    }
  }
}

}  // namespace

void prepareProcess() {
  dropDeadStandardHandles();
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
