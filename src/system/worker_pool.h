// A few threads kept for the run, that share out the parts of one job with the thread that asks:
// what waits on the system (a file's sync) then waits side by side.
#pragma once

#include <cstddef>
#include <functional>

// Runs `work(i)` once for every i below `count`, on up to `threads` threads at once counting the
// caller's, and returns when every part has run. The workers are started at the first call that
// wants them and kept; where the system gives no more threads, the caller does the rest.
void forEachTogether(std::size_t count,
                     std::size_t threads,
                     const std::function<void(std::size_t)>& work);

// How many threads side by side pay off on this machine: twice its cores, at most 16.
std::size_t machineThreads();
