// The status store: one process-wide slot holding the outcome of the last channel, line-reading
// or print operation. Operations store and return in one expression:
//   return setStatus(StatusCode::TransferFailed);
#pragma once

#include <cstdint>

enum class StatusCode : std::int32_t {
  Ok = 0,              // success
  NotApplicable = 1,   // no such channel, closed or busy channel, bad mode, missing operation
  NotOpened = 2,       // the file could not be opened in any stream mode tried
  TransferFailed = 3,  // short or failed write, failed flush or close, failed seek or lock
};

// The slot itself, defined in status_store.cpp, one per thread: a worker's operations on its own
// channels say nothing to another thread's next look. Ok until the first store. Read and
// written only through the two operations below, which are inline: every channel and print
// operation stores into it, several times per line of a list file.
extern thread_local StatusCode storedStatus;

// Stores `code` as the last status and returns it unchanged.
inline StatusCode setStatus(StatusCode code) {
  storedStatus = code;
  return code;
}

// The value stored last; Ok before anything was stored.
inline StatusCode lastStatus() { return storedStatus; }
