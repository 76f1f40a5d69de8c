// The console writer's text engine and byte path, written once for every platform: it reaches
// the console only through the ConsolePlatform table (console_platform.h).
#include "console/console_writer.h"

#include <cstring>

#include "console/console_platform.h"

namespace {

// The platform in use: null until first needed, then defaultConsolePlatform() unless a test
// installed its own with useConsolePlatform().
const ConsolePlatform* platform = nullptr;

const ConsolePlatform& api() {
  if (platform == nullptr) platform = defaultConsolePlatform();
  return *platform;
}

// The standard handles, taken once by consoleHandles() at the first console access. `terminal`
// says that the byte path ends on a terminal, so pending output goes out at every line end.
struct ConsoleHandles {
  ConsoleHandle inputHandle;
  ConsoleHandle outputHandle;
  bool taken;
  bool terminal;
};
ConsoleHandles handles = {};

// The screen: left 0, top and bottom the window's rows, right the buffer's last column; all zero
// when standard output is no console. Read at the first console access (`read` set), then again
// at the start of every console-path write, so that each write works in the window as the user
// left it (moved, enlarged or shrunk). The console is present when left != right and
// top != bottom.
struct ScreenRect {
  std::int16_t left;
  std::int16_t top;
  std::int16_t right;
  std::int16_t bottom;
  bool read;
};
ScreenRect screenRect = {};

// Set when a console-path write ended in the view's bottom-right cell: the line feed that the
// wrap would have made is owed, and the next console-path write makes it first.
bool pendingLineFeed = false;

// Byte-path output not yet handed to the platform. Written out when full and by consoleFlush();
// when the bytes go to a terminal, also at the end of a write holding LF, at the next write after
// that (a new line shows at once) and at a write coming TerminalDelayMilliseconds or more after
// the last write-out, so that what a person watches is never far behind.
constexpr std::uint32_t PendingBytesSize = 8192;
char pendingBytes[PendingBytesSize];
std::uint32_t pendingCount = 0;

// On a terminal: the platform's clock at the last write-out (set by writeOutPendingBytes), and
// whether the last write ended a line (set by writeOutForTerminal).
constexpr std::uint64_t TerminalDelayMilliseconds = 100;
std::uint64_t lastWriteOut = 0;
bool lineJustEnded = false;

// The screen assumed when there is none, or when it cannot be read: 80 columns, 25 rows, light
// grey on black.
constexpr std::int32_t DefaultColumns = 80;
constexpr std::int32_t DefaultRows = 25;
constexpr std::uint16_t DefaultAttribute = 7;

// The control bytes the text engine acts on; every other byte is shown in a cell of its own.
constexpr char Bell = '\a';            // sounds, moves nothing
constexpr char Backspace = '\b';       // one column left, never past the view's left edge
constexpr char Tab = '\t';             // blanks up to the next tab stop
constexpr char LineFeed = '\n';        // to the left edge of the next row
constexpr char CarriageReturn = '\r';  // to the left edge of this row

constexpr std::uint32_t BellHertz = 1000;
constexpr std::uint32_t BellMilliseconds = 250;
constexpr std::int32_t TabStop = 8;  // columns from one tab stop to the next

constexpr std::int32_t RunLimit = 256;
constexpr char TabSource[TabStop] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// What one console-path write knows about the console.
struct ConsoleInfo {
  std::int32_t bufferColumns;
  std::int32_t bufferRows;
  std::uint16_t attribute;  // given to every cell written or blanked
  ConsoleHandle outputHandle;
};

// The record the text engine works on, in buffer coordinates: the window's rows across the
// buffer's full width. scrollView may move top and bottom.
struct ConsoleView {
  ConsoleInfo info;
  std::int32_t left;
  std::int32_t top;
  std::int32_t right;
  std::int32_t bottom;
  std::int32_t cursorColumn;
  std::int32_t cursorRow;
};

ConsoleCoord coord(std::int32_t x, std::int32_t y) {
  return ConsoleCoord{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y)};
}

ConsoleRect rect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  return ConsoleRect{static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                     static_cast<std::int16_t>(right), static_cast<std::int16_t>(bottom)};
}

const ConsoleHandles& consoleHandles() {
  if (!handles.taken) {
    handles.taken = true;
    handles.inputHandle = api().getStdHandle(StandardStream::Input);
    handles.outputHandle = api().getStdHandle(StandardStream::Output);
    std::uint32_t mode = 0;
    if (handles.inputHandle != nullptr && api().getConsoleMode(handles.inputHandle, &mode)) {
      api().setConsoleMode(handles.inputHandle, mode | ConsoleProcessedInput);
    }
    handles.terminal = api().isTerminal != nullptr && api().isTerminal(handles.outputHandle);
  }
  return handles;
}

void takeScreenRect(const ConsoleBufferInfo& info) {
  screenRect.left = 0;
  screenRect.top = info.window.top;
  screenRect.right = static_cast<std::int16_t>(info.size.x - 1);
  screenRect.bottom = info.window.bottom;
}

void ensureScreenRect() {
  if (screenRect.read) return;
  ConsoleBufferInfo info = {};
  if (api().getScreenBufferInfo(consoleHandles().outputHandle, &info)) {
    takeScreenRect(info);
  } else {
    screenRect.left = screenRect.top = screenRect.right = screenRect.bottom = 0;
  }
  screenRect.read = true;
}

bool consolePresent() {
  return screenRect.left != screenRect.right && screenRect.top != screenRect.bottom;
}

std::uint64_t tickCount() { return api().tickCount != nullptr ? api().tickCount() : 0; }

// Hands the pending bytes to the platform: on after a partial write, stopping at the first failure
// (or a write that takes nothing); what is left then is dropped. Without a standard output
// handle, nothing is written anywhere.
void writeOutPendingBytes() {
  const char* next = pendingBytes;
  std::uint32_t remaining = pendingCount;
  pendingCount = 0;
  if (handles.terminal) lastWriteOut = tickCount();
  if (handles.outputHandle == nullptr) return;
  while (remaining > 0) {
    std::uint32_t written = 0;
    if (!api().writeFile(handles.outputHandle, next, remaining, &written) || written == 0) return;
    if (written > remaining) written = remaining;
    next += written;
    remaining -= written;
  }
}

// On a terminal, after bytes were added to the pending ones: writes them out when the write ended a
// line or starts a new one, or when the last write-out is a tenth of a second old. One clock
// read per write, no system call per byte.
void writeOutForTerminal(bool lineEnd) {
  const bool newLine = lineJustEnded;
  lineJustEnded = lineEnd;
  if (lineEnd || newLine || tickCount() - lastWriteOut >= TerminalDelayMilliseconds) {
    writeOutPendingBytes();
  }
}

// The byte path: every byte unchanged, through the pending buffer.
void writeBytes(const char* bytes, std::uint32_t length) {
  const bool lineEnd = handles.terminal && std::memchr(bytes, '\n', length) != nullptr;
  if (length == 1 && pendingCount < PendingBytesSize - 1) {
    // One byte with room to spare, as every rejection mark is: no copy loop, nothing to write.
    pendingBytes[pendingCount++] = *bytes;
    if (handles.terminal) writeOutForTerminal(lineEnd);
    return;
  }
  while (length > 0) {
    std::uint32_t part = PendingBytesSize - pendingCount;
    if (part > length) part = length;
    std::memcpy(pendingBytes + pendingCount, bytes, part);
    pendingCount += part;
    bytes += part;
    length -= part;
    if (pendingCount == PendingBytesSize) writeOutPendingBytes();
  }
  if (handles.terminal) writeOutForTerminal(lineEnd);
}

void blankRow(ConsoleView* view, std::int32_t row) {
  const std::uint32_t count = static_cast<std::uint32_t>(view->right - view->left + 1);
  api().fillAttribute(view->info.outputHandle, view->info.attribute, count, coord(view->left, row));
  api().fillCharacter(view->info.outputHandle, ' ', count, coord(view->left, row));
}

void blankRows(ConsoleView* view, std::int32_t first, std::int32_t last) {
  for (std::int32_t row = first; row <= last; ++row) blankRow(view, row);
}

// Scrolls the view's contents up by n rows. The view first moves down the buffer while there are
// rows below it; only then does the buffer's content move, and its top rows are lost: never a
// row the user could still scroll back to while the buffer had room.
void scrollView(ConsoleView* view, std::int32_t n) {
  const ConsoleCell fill = {' ', view->info.attribute};
  const ConsoleHandle output = view->info.outputHandle;
  const std::int32_t bufferRows = view->info.bufferRows;
  if (view->bottom + 1 < bufferRows) {
    std::int32_t k = bufferRows - 1 - view->bottom;
    if (k > n) k = n;
    view->top += k;
    view->bottom += k;
    n -= k;
    if (n == 0) return;
  }
  if (n >= bufferRows) {
    blankRows(view, view->top, view->bottom);
  } else {
    const ConsoleRect source = rect(0, n, view->info.bufferColumns - 1, bufferRows - 1);
    api().scrollBuffer(output, &source, coord(0, 0), &fill);
    if (bufferRows - n < n) blankRows(view, bufferRows - n, bufferRows - 1);
  }
  view->cursorRow = view->bottom;
}

// One row segment of at most RunLimit cells at the cursor, without moving the console's cursor.
bool writeCells(ConsoleView* view, const char* bytes, std::int32_t k) {
  ConsoleCell cells[RunLimit];
  for (std::int32_t i = 0; i < k; ++i) cells[i] = ConsoleCell{bytes[i], view->info.attribute};
  ConsoleRect region =
      rect(view->cursorColumn, view->cursorRow, view->cursorColumn + k - 1, view->cursorRow);
  return api().writeOutput(view->info.outputHandle, cells, coord(k, 1), &region);
}

// Puts a run of printable bytes on the screen from the cursor, split at the right edge. The
// wrap is immediate: a run ending in the last column leaves the cursor on the next row's left.
void writeRun(ConsoleView* view, const char* bytes, std::int32_t n) {
  while (n > 0) {
    const std::int32_t room = view->right - view->cursorColumn + 1;
    if (room <= 0) {
      // The buffer grew wider since the screen was read: the cursor stands past the view's edge.
      view->cursorColumn = view->left;
      ++view->cursorRow;
      continue;
    }
    const std::int32_t k = n > room ? room : n;
    if (view->cursorRow > view->bottom) scrollView(view, view->cursorRow - view->bottom);
    if (!writeCells(view, bytes, k)) return;
    view->cursorColumn += k;
    bytes += k;
    n -= k;
    if (view->cursorColumn == view->right + 1) {
      view->cursorColumn = view->left;
      ++view->cursorRow;
    }
  }
}

// The printable bytes a write has collected and not yet put on the screen.
struct PendingRun {
  char bytes[RunLimit];
  std::int32_t length = 0;
  bool moved = false;  // a control byte moved the cursor since the last run was written
  std::int32_t x = 0;  // where the next collected byte lands
};

bool movesCursor(char byte) {
  return byte == Backspace || byte == LineFeed || byte == CarriageReturn;
}

// The cells `byte` fills when it lands at column `x`: the blanks up to the next tab stop for a
// tab, none for a byte that moves the cursor, one for any other.
std::int32_t cellsOf(const ConsoleView& view, char byte, std::int32_t x) {
  if (byte == Tab) return TabStop - (x - view.left) % TabStop;
  return movesCursor(byte) ? 0 : 1;
}

void writePending(ConsoleView* view, PendingRun& run) {
  writeRun(view, run.bytes, run.length);
  run.length = 0;
  run.moved = false;
}

// Moves the cursor for a backspace, line feed or carriage return. Measured from the console's
// cursor, which equals the run's x unless a failed run left it behind.
void moveCursor(ConsoleView* view, char byte, PendingRun& run) {
  if (byte == Backspace) {
    if (view->cursorColumn > view->left) --view->cursorColumn;
  } else {
    view->cursorColumn = view->left;
    if (byte == LineFeed) ++view->cursorRow;
  }
  run.x = view->cursorColumn;
  run.moved = true;
}

// Adds `byte`, which fills `cells` cells (a tab's blanks), to the run, wrapping x at the right
// edge.
void collect(const ConsoleView& view, char byte, std::int32_t cells, PendingRun& run) {
  const std::int32_t width = view.right - view.left + 1;
  run.x += cells;
  if (run.x > view.right) run.x = (run.x - view.left) % width + view.left;
  if (byte == Tab) {
    std::memcpy(run.bytes + run.length, TabSource, static_cast<std::size_t>(cells));
  } else {
    run.bytes[run.length] = byte;
  }
  run.length += cells;
}

// The text engine: collects printable bytes into runs, acts on the control bytes above.
void writeTextToView(ConsoleView* view, const char* bytes, std::uint32_t length) {
  PendingRun run;
  run.x = view->cursorColumn;
  for (std::uint32_t i = 0; i < length; ++i) {
    const char byte = bytes[i];
    if (byte == Bell) {
      // Sounds at once, ahead of the bytes collected before it.
      api().beep(BellHertz, BellMilliseconds);
      continue;
    }
    const bool moves = movesCursor(byte);
    const std::int32_t cells = cellsOf(*view, byte, run.x);
    if ((moves || run.length + cells > RunLimit) && run.length > 0) writePending(view, run);
    if (moves) {
      moveCursor(view, byte, run);
    } else {
      collect(*view, byte, cells, run);
    }
  }
  if (run.length > 0) {
    writeRun(view, run.bytes, run.length);
  } else if (run.moved && view->cursorRow > view->bottom) {
    scrollView(view, view->cursorRow - view->bottom);
  }
}

// The view of one console-path write: the screen's rows across the buffer's width, the cursor
// where the console has it. `info` is the screen as read for this write; null when it could not
// be read, and then the last write's screen serves, with the cursor at its top left.
ConsoleView makeView(const ConsoleBufferInfo* info) {
  ConsoleView view = {};
  view.left = screenRect.left;
  view.top = screenRect.top;
  view.right = screenRect.right;
  view.bottom = screenRect.bottom;
  view.info.outputHandle = handles.outputHandle;
  if (info != nullptr) {
    view.info.bufferColumns = info->size.x;
    view.info.bufferRows = info->size.y;
    view.info.attribute = info->attribute;
    view.cursorColumn = info->cursor.x;
    view.cursorRow = info->cursor.y;
  } else {
    view.info.bufferColumns = DefaultColumns;
    view.info.bufferRows = DefaultRows;
    view.info.attribute = DefaultAttribute;
    view.cursorColumn = view.left;
    view.cursorRow = view.top;
  }
  return view;
}

// Makes the line feed the last write owed, before any byte of this one.
void payOwedLineFeed(ConsoleView* view) {
  if (!pendingLineFeed) return;
  pendingLineFeed = false;
  view->cursorColumn = view->left;
  ++view->cursorRow;
  if (view->cursorRow > view->bottom) scrollView(view, view->cursorRow - view->bottom);
}

// Puts the console's cursor where the engine left it. A cursor that wrapped past the bottom-right
// cell stays in sight there and the line feed is owed; one below the view scrolls it up.
void placeCursor(ConsoleView* view) {
  if (view->cursorColumn == view->left && view->cursorRow == view->bottom + 1) {
    view->cursorColumn = view->right;
    view->cursorRow = view->bottom;
    pendingLineFeed = true;
  } else if (view->cursorRow > view->bottom) {
    scrollView(view, view->cursorRow - view->bottom);
  }
  api().setCursorPosition(handles.outputHandle, coord(view->cursorColumn, view->cursorRow));
}

// When the view moved down the buffer, the window follows it, keeping its own columns (`info`,
// null when unread: the view's): the view spans the buffer's full width, which may be wider
// than any window the screen can show.
void followWindow(const ConsoleView& view, const ConsoleBufferInfo* info) {
  if (view.top == screenRect.top) return;
  ConsoleRect window = rect(view.left, view.top, view.right, view.bottom);
  if (info != nullptr) {
    window.left = info->window.left;
    window.right = info->window.right;
  }
  api().setWindowInfo(handles.outputHandle, &window);
  screenRect.top = static_cast<std::int16_t>(view.top);
  screenRect.bottom = static_cast<std::int16_t>(view.bottom);
}

}  // namespace

void useConsolePlatform(const ConsolePlatform* newPlatform) { platform = newPlatform; }

void resetConsoleWriter() {
  handles = {};
  screenRect = {};
  pendingLineFeed = false;
  pendingCount = 0;
  lastWriteOut = 0;
  lineJustEnded = false;
}

void consoleSize(int* columns, int* rows) {
  consoleHandles();
  ensureScreenRect();
  int width = DefaultColumns;
  int height = DefaultRows;
  if (consolePresent()) {
    width = screenRect.right - screenRect.left + 1;
    height = screenRect.bottom - screenRect.top + 1;
  }
  if (columns != nullptr) *columns = width;
  if (rows != nullptr) *rows = height;
}

int consoleCursorColumn() {
  ConsoleBufferInfo info = {};
  const int column =
      api().getScreenBufferInfo(consoleHandles().outputHandle, &info) ? info.cursor.x : 0;
  ensureScreenRect();
  if (!consolePresent()) return 1;
  return column - screenRect.left + 1;
}

void consoleWrite(const char* bytes, std::uint32_t length) {
  if (length == 0) return;
  // Normally the console channel's set-up has read the screen already; a write that comes first
  // still needs the handles and the screen.
  consoleHandles();
  ensureScreenRect();
  // The window as it stands now: the user may have moved, enlarged or shrunk it since the last
  // write.
  ConsoleBufferInfo info = {};
  const bool infoRead = consolePresent() && api().getScreenBufferInfo(handles.outputHandle, &info);
  if (infoRead) takeScreenRect(info);
  if (!consolePresent()) {
    writeBytes(bytes, length);
    return;
  }
  ConsoleView view = makeView(infoRead ? &info : nullptr);
  payOwedLineFeed(&view);
  writeTextToView(&view, bytes, length);
  placeCursor(&view);
  followWindow(view, infoRead ? &info : nullptr);
}

void consoleFlush() {
  if (!handles.taken) return;
  writeOutPendingBytes();
  if (api().finishOutput != nullptr) api().finishOutput(handles.outputHandle);
}
