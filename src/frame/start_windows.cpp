// Windows start-up: the top-level fault filter and the floating-point unit's reset.
#include <float.h>
#include <windows.h>

#include <csignal>

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

}  // namespace

void prepareProcess() {
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
