// Interruptions of a run (Ctrl-C, a terminal hung up, a termination request). The run never
// stops in the middle of a step: a signal is noted, the run ends at the next point where its
// own temporary files can go (the cleaned copy, the file lists, the lock), and the process then
// ends the way the signal would have ended it.
#pragma once

// Catches the interruptions from now on.
void catchInterruptions();

// True once an interruption arrived.
bool runInterrupted();

// When an interruption arrived, ends the process as that signal ends it; otherwise returns.
void endIfInterrupted();
