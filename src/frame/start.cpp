// startFrame and endProcess, shared by both platforms; the platform start-up is in
// start_posix.cpp and start_windows.cpp.
#include "frame/start.h"

#include <cstdlib>

#include "channels/channel.h"
#include "console/console_writer.h"

namespace {
// Set by the first startFrame; makes later calls do nothing.
bool frameStarted = false;
}  // namespace

void startFrame() {
  if (frameStarted) return;
  frameStarted = true;
  clearChannelTable();
  setFloatingPointControl();
}

void endProcess(int code) {
  // Exit handlers run after this, but the console's held bytes must not wait for them: a
  // handler that prints nothing would still be run after the library flushed its own streams.
  consoleFlush();
  std::exit(code);
}
