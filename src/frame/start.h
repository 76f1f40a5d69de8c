// The process frame: start-up around the cleaning run, and the end of the process.
#pragma once

#include <string_view>

// One-time initialisation: clears the channel table and sets the floating-point control.
// A second call does nothing.
void startFrame();

// Ends the process with `code` through the standard library's exit: the exit handlers run (the
// channel closer among them), the console's buffered output is pushed out, streams are flushed.
[[noreturn]] void endProcess(int code);

// Platform start-up before anything else runs, before any file is opened: on POSIX every closed
// standard descriptor is opened on /dev/null and SIGXFSZ is ignored; on Windows a standard handle
// that names nothing is set to none, the fault filter installed and the floating-point unit
// reset, and a current directory the command processor cannot work in (see
// commandProcessorWorksIn) ends the process here, with one console line and exit code 0, before
// anything is changed.
void prepareProcess();

// True when the command processor can work in `directory`, a current directory's full path: one
// on a drive letter ("C:\lists", "\\?\C:\lists"). A network path ("\\server\share", in any form)
// or a volume's own name it cannot: it would run in the Windows directory instead. Windows only:
// the built-in command processor of POSIX works anywhere.
bool commandProcessorWorksIn(std::wstring_view directory);

// Sets the floating-point control to 64-bit precision and rounding to nearest, leaving the
// exception masks alone. Called by startFrame.
void setFloatingPointControl();
