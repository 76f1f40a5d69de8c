// Windows command execution for a caller that holds the file a command writes: the command
// processor's standard output is that file's handle instead of a "> FILE" redirection, which
// would open whatever holds the name (another file's hard link, say) and write through it.
#pragma once

#include <string>

// As runUnicodeCommand, with `output` (the HANDLE of a file the caller created and keeps open for
// writing) as the command processor's standard output. Its messages to standard error, UTF-16 under
// "/u", reach the program's standard error in the console's code page.
int runUnicodeCommandInto(std::string command, void* output);
