// The console channel: channel 0, set up at the first print of the process on any channel, with
// a device whose only operation hands the bytes to the console writer.
#include "console/console_writer.h"
#include "print/print.h"

namespace {

// The console never fails a write: whatever happens on the screen, the status is Ok.
StatusCode consoleChannelWrite(Channel*, const char* bytes, std::size_t count) {
  constexpr std::size_t MaxPiece = 0x40000000;
  while (count > 0) {
    const std::size_t piece = count > MaxPiece ? MaxPiece : count;
    consoleWrite(bytes, static_cast<std::uint32_t>(piece));
    bytes += piece;
    count -= piece;
  }
  return setStatus(StatusCode::Ok);
}

constexpr ChannelHooks consoleChannelHooks = {.write = consoleChannelWrite};

}  // namespace

void setUpConsoleChannel() {
  Channel* record = lookupChannel(ConsoleChannel);
  if (record->hooks != nullptr) return;
  *record = Channel{};
  record->mode = OpenMode::Append;
  record->access = 3;
  // The size first: this is the console writer's first use, which takes the handles.
  int columns = 0;
  consoleSize(&columns, nullptr);
  record->width = static_cast<std::uint32_t>(columns);
  record->column = consoleCursorColumn() - 1;
  record->hooks = &consoleChannelHooks;
}
