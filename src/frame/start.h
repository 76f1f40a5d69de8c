// The process frame: start-up around the cleaning run, and the end of the process.
#pragma once

// One-time initialisation: clears the channel table and sets the floating-point control.
// A second call does nothing.
void startFrame();

// Ends the process with `code` through the standard library's exit: the exit handlers run (the
// channel closer among them), the console's buffered output is pushed out, streams are flushed.
[[noreturn]] void endProcess(int code);

// Platform start-up before anything else runs: the fault filter and the floating-point reset on
// Windows; nothing to do elsewhere.
void prepareProcess();

// Sets the floating-point control to 64-bit precision and rounding to nearest, leaving the
// exception masks alone. Called by startFrame.
void setFloatingPointControl();
