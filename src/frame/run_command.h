// Command execution: one command line handed to the command processor, blocking until it ends.
// On Windows that is the system's command processor; elsewhere the built-in one, in process.
#pragma once

#include "channels/text.h"

// Runs `command` up to its first NUL byte. Returns -1 for an empty command (nothing runs),
// otherwise the command processor's exit status (-1 when it could not be started). Stores no
// status. Takes the command text over: it is released when the call ends.
int runCommand(Text command);

// Null when `path` can reach the command processor inside double quotes as exactly itself, and
// its commands can reach the file: no NUL, CR or LF anywhere; on Windows also no "%" (expanded
// even inside quotes), no double quote, and fewer than MAX_PATH characters (the command
// processor's "move" cannot reach a longer path). Otherwise the reason, a console text.
const char* commandRefusesPath(std::string_view path);

// Blocks the program for about `milliseconds`.
void waitMilliseconds(int milliseconds);
