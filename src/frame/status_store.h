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

// Stores `code` as the last status and returns it unchanged.
StatusCode setStatus(StatusCode code);

// The value stored last; Ok before anything was stored.
StatusCode lastStatus();
