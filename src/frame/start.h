// The process frame: start-up around the cleaning run, and the end of the process.
#pragma once

// One-time initialisation: clears the channel table and sets the floating-point control.
// A second call does nothing.
void startFrame();

// Ends the process with `code` through the standard library's exit: the exit handlers run (the
// channel closer among them), the console's buffered output is pushed out, streams are flushed.
[[noreturn]] void endProcess(int code);

// Platform start-up before anything else runs, before any file is opened: on POSIX every closed
// standard descriptor is opened on /dev/null and SIGXFSZ is ignored; on Windows a standard handle
// that names nothing is set to none, the fault filter installed and the floating-point unit
// reset.
void prepareProcess();

// Sets the floating-point control to 64-bit precision and rounding to nearest, leaving the
// exception masks alone. Called by startFrame.
void setFloatingPointControl();
