// This program's replacement of the global operator new, for the test programs that link
// support/allocation_counter.cpp: it counts allocations while asked to, and fails those larger
// than a limit with std::bad_alloc, as memory running out would.
#pragma once

#include <cstddef>

namespace allocation_counter {

// While true, every operator new adds one to `count`.
extern bool counting;
extern int count;

// Allocations of more bytes than this fail; 0: no limit.
extern std::size_t limit;

// The bytes operator new has handed out and not had back, and the most of them at any moment
// since a test last set peakHeld (to `held`, say).
extern std::size_t held;
extern std::size_t peakHeld;

}  // namespace allocation_counter
