// Why a file of the run (the rejection log, a file list) was refused, in words a user can act on.
// Asked only after the open or the ownership check has refused it: the answer is for the console
// line, never a decision.
#pragma once

#include <string>
#include <string_view>

// The reason `name` cannot serve as the run's own file: a link or reparse point, not a regular
// file, another user's file, writable by others, more than one name, or it cannot be created or
// opened (with the system's reason for `openError`, 0 when the open itself succeeded).
std::string refusalReason(std::string_view name, int openError);

// When a file of another user is at `name` in the run's directory, ": a file of user USER holds
// the name", for the line of a run file that could not be made there (someone who may write the
// directory kept putting a file back at the name); empty otherwise.
std::string nameOwnerText(std::string_view name);
