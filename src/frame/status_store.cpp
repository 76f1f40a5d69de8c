// The status store. Single-threaded program: a plain process-wide value, no lock.
#include "frame/status_store.h"

namespace {
// The last status stored by any operation; Ok until the first store.
StatusCode storedStatus = StatusCode::Ok;
}  // namespace

StatusCode setStatus(StatusCode code) {
  storedStatus = code;
  return code;
}

StatusCode lastStatus() { return storedStatus; }
