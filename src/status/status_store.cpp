// The status store: one value per thread, no lock. The store and read operations are inline in
// the header.
#include "status/status_store.h"

// The last status stored by any operation; Ok until the first store.
thread_local StatusCode storedStatus = StatusCode::Ok;
