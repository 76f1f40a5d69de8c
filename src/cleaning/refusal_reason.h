// Why a file of the run (the rejection log, a file list) was refused, in words a user can act on.
// Asked only after the open or the ownership check has refused it: the answer is for the console
// line, never a decision.
#pragma once

#include <string>
#include <string_view>

// Reads the code of the last failed system call, at once after the file's open failed.
int lastSystemError();

// The reason `name` cannot serve as the run's own file: a link or reparse point, not a regular
// file, another user's file, writable by others, more than one name, or it cannot be created or
// opened (with the system's reason for `openError`, 0 when the open itself succeeded).
std::string refusalReason(std::string_view name, int openError);
