// Names beyond MAX_PATH characters below the current directory, for the Windows tests.
#pragma once

#include <cstddef>
#include <string>

// The current directory, as the program's bytes name it.
std::string currentDirectory();

// A name of `length` characters or more below the current directory, in components of 100
// characters, ending in `leaf`: relative, with its directories made.
std::string longRelativeName(std::size_t length, const std::string& leaf);

// Removes a file made by longRelativeName and its directories, which the scratch directory's
// removal cannot reach by their long names.
void removeLongName(std::string relative);
