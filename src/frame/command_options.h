// What the command line asks for. chklist rewrites files, so an argument it does not know is
// refused rather than ignored: the user asked for something else than a rewrite of the current
// directory.
#pragma once

#include <string_view>

enum class CommandRequest {
  Clean,    // no argument: the cleaning run
  Preview,  // "--dry-run" or "-n": the run's search and checks, its log records on standard
            // output, and nothing changed
  Help,     // the usage text on standard output
  Version,  // the version line on standard output
  Refused,  // an argument chklist does not take: one line on standard error
};

// Reads the arguments after the program's name. On Windows "/?" and "-?" also ask for help.
CommandRequest requestOf(int argumentCount, const char* const* arguments);

// True for the help forms only the platform's own tools use ("/?" and "-?" on Windows).
bool isPlatformHelpOption(std::string_view argument);

// Carries out a request other than Clean and Preview: prints what it asks for and returns the exit
// code (0 for help and version, 1 when their text could not be written, 2 for a refused argument).
// Nothing in the directory is read or written.
int answerRequest(CommandRequest request, int argumentCount, const char* const* arguments);
