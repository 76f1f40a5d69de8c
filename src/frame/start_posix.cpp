// POSIX start-up. Faults take the system's default course and the floating-point environment is
// already round-to-nearest with all exceptions masked, so there is nothing to prepare.
#include <cfenv>

#include "frame/start.h"

void prepareProcess() {}

bool commandProcessorWorksIn(std::wstring_view) { return true; }

void setFloatingPointControl() { std::fesetround(FE_TONEAREST); }
