// The status store. Single-threaded program: a plain process-wide value, no lock. The store
// and read operations are inline in the header.
#include "status/status_store.h"

// The last status stored by any operation; Ok until the first store.
StatusCode storedStatus = StatusCode::Ok;
