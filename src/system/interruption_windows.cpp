// Windows: Ctrl-C and Ctrl-Break are left to the system's default, which ends the process at
// once; the run's temporary files are then removed by the next run (copies beside lists, file
// lists) or released with the process (the lock on the log).
#include "system/interruption.h"

void catchInterruptions() {}
bool runInterrupted() { return false; }
void endIfInterrupted() {}
