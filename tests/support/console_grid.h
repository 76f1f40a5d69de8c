// An in-memory console for the console writer's tests: a screen buffer of cells, a window, a
// cursor and a text attribute behind the ConsolePlatform table, with the semantics of the Windows
// console calls the writer uses. Header-only, so every test program that links the console writer
// can install it. Install with ConsoleGridScope, which also resets the writer's state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "console/console_platform.h"

struct ConsoleGrid {
  int columns = 80;
  int rows = 25;
  std::vector<ConsoleCell> cells;
  ConsoleRect window = {0, 0, 79, 24};
  ConsoleCoord cursor = {0, 0};
  std::uint16_t attribute = 7;
  std::uint32_t inputMode = 0x01F0;
  bool infoFails = false;            // GetConsoleScreenBufferInfo fails
  bool writeOutputFails = false;     // WriteConsoleOutputA fails
  bool cursorMovesWindow = true;     // like the real console: the window scrolls to a set cursor
  bool terminal = false;             // answer of the isTerminal slot
  std::uint64_t clock = 0;           // what the clock (GetTickCount64) reads
  std::uint32_t writeFileLimit = 0;  // largest count one WriteFile takes; 0 for any
  int writeFileFailsAfter = -1;      // calls that succeed before WriteFile fails; -1: never
  std::string sink;                  // the byte path's output
  int writeFileCalls = 0;
  std::vector<int> cellWrites;       // the width of each WriteConsoleOutputA call, in order
  std::vector<ConsoleCell> scratch;  // the scroll's copy, sized once: scrolling allocates nothing
  std::vector<std::string> screenAtBeep;  // the window's text each time Beep was called

  ConsoleGrid() { resize(80, 25, 25); }

  // A buffer of `bufferColumns` x `bufferRows` blanks, window at the top with `windowRows` rows.
  void resize(int bufferColumns, int bufferRows, int windowRows) {
    columns = bufferColumns;
    rows = bufferRows;
    cells.assign(static_cast<std::size_t>(columns * rows), ConsoleCell{' ', 7});
    scratch.reserve(cells.size());
    window = ConsoleRect{0, 0, static_cast<std::int16_t>(columns - 1),
                         static_cast<std::int16_t>(windowRows - 1)};
    cursor = ConsoleCoord{0, 0};
  }

  bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < columns && y < rows; }
  ConsoleCell& at(int x, int y) { return cells[static_cast<std::size_t>(y * columns + x)]; }

  // One buffer row as text, trailing blanks dropped.
  std::string row(int y) const {
    std::string text;
    for (int x = 0; x < columns; ++x)
      text += cells[static_cast<std::size_t>(y * columns + x)].character;
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
  }

  // The rows the window shows, top to bottom.
  std::vector<std::string> windowRows() const {
    std::vector<std::string> shown;
    for (int y = window.top; y <= window.bottom; ++y) shown.push_back(row(y));
    return shown;
  }

  std::string windowText() const {
    std::string text;
    for (const std::string& line : windowRows()) text += line + "|";
    return text;
  }

  void placeCursor(int x, int y) {
    cursor = ConsoleCoord{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y)};
  }

  // Another program writing to the console the ordinary way: text at the cursor, wrapping,
  // CR and LF moving the cursor, the buffer scrolling at its end.
  void type(const std::string& text) {
    for (char byte : text) {
      if (byte == '\r') {
        cursor.x = 0;
      } else if (byte == '\n') {
        cursor.x = 0;
        newLine();
      } else {
        at(cursor.x, cursor.y) = ConsoleCell{byte, attribute};
        if (++cursor.x == columns) {
          cursor.x = 0;
          newLine();
        }
      }
    }
  }

  void newLine() {
    if (cursor.y + 1 < rows) {
      ++cursor.y;
    } else {
      cells.erase(cells.begin(), cells.begin() + columns);
      cells.insert(cells.end(), static_cast<std::size_t>(columns), ConsoleCell{' ', attribute});
    }
    followCursor();
  }

  void followCursor() {
    if (cursor.y > window.bottom) {
      const int shift = cursor.y - window.bottom;
      window.top = static_cast<std::int16_t>(window.top + shift);
      window.bottom = static_cast<std::int16_t>(window.bottom + shift);
    } else if (cursor.y < window.top) {
      const int shift = window.top - cursor.y;
      window.top = static_cast<std::int16_t>(window.top - shift);
      window.bottom = static_cast<std::int16_t>(window.bottom - shift);
    }
  }
};

namespace console_grid {

inline ConsoleGrid* active = nullptr;

inline ConsoleHandle gridGetStdHandle(StandardStream which) {
  if (which == StandardStream::Input) return &active->inputMode;
  return active;
}

inline bool gridGetConsoleMode(ConsoleHandle input, std::uint32_t* mode) {
  *mode = *static_cast<std::uint32_t*>(input);
  return true;
}

inline bool gridSetConsoleMode(ConsoleHandle input, std::uint32_t mode) {
  *static_cast<std::uint32_t*>(input) = mode;
  return true;
}

inline bool gridGetScreenBufferInfo(ConsoleHandle, ConsoleBufferInfo* info) {
  if (active->infoFails) return false;
  info->size = ConsoleCoord{static_cast<std::int16_t>(active->columns),
                            static_cast<std::int16_t>(active->rows)};
  info->cursor = active->cursor;
  info->attribute = active->attribute;
  info->window = active->window;
  return true;
}

// Cells of the source row block starting at `origin` go to `region`, clipped to the buffer.
inline bool gridWriteOutput(ConsoleHandle,
                            const ConsoleCell* cells,
                            ConsoleCoord size,
                            ConsoleRect* region) {
  ConsoleGrid& grid = *active;
  grid.cellWrites.push_back(region->right - region->left + 1);
  if (grid.writeOutputFails) return false;
  const int left = std::max<int>(region->left, 0);
  const int top = std::max<int>(region->top, 0);
  const int right = std::min<int>({region->right, grid.columns - 1, region->left + size.x - 1});
  const int bottom = std::min<int>({region->bottom, grid.rows - 1, region->top + size.y - 1});
  if (left > right || top > bottom) return false;
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) {
      grid.at(x, y) = cells[(y - region->top) * size.x + (x - region->left)];
    }
  }
  *region = ConsoleRect{static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                        static_cast<std::int16_t>(right), static_cast<std::int16_t>(bottom)};
  return true;
}

// Copies the source block (clipped to the buffer) to the destination (clipped to the buffer);
// the source cells the copy does not overwrite get the fill cell.
inline bool gridScrollBuffer(ConsoleHandle,
                             const ConsoleRect* source,
                             ConsoleCoord destination,
                             const ConsoleCell* fill) {
  ConsoleGrid& grid = *active;
  const int left = std::max<int>(source->left, 0);
  const int top = std::max<int>(source->top, 0);
  const int right = std::min<int>(source->right, grid.columns - 1);
  const int bottom = std::min<int>(source->bottom, grid.rows - 1);
  if (left > right || top > bottom) return false;
  const int destinationX = destination.x + (left - source->left);
  const int destinationY = destination.y + (top - source->top);
  std::vector<ConsoleCell>& block = grid.scratch;
  block.clear();
  for (int y = top; y <= bottom; ++y)
    for (int x = left; x <= right; ++x) block.push_back(grid.at(x, y));
  for (int y = top; y <= bottom; ++y)
    for (int x = left; x <= right; ++x) grid.at(x, y) = *fill;
  const int width = right - left + 1;
  for (int y = 0; y <= bottom - top; ++y) {
    for (int x = 0; x < width; ++x) {
      if (grid.inside(destinationX + x, destinationY + y))
        grid.at(destinationX + x, destinationY + y) =
            block[static_cast<std::size_t>(y * width + x)];
    }
  }
  return true;
}

// Sets one field of `count` cells from `start` to `value`, running on into the next rows.
template <typename Value>
bool gridFill(Value ConsoleCell::*field, Value value, std::uint32_t count, ConsoleCoord start) {
  ConsoleGrid& grid = *active;
  if (!grid.inside(start.x, start.y)) return false;
  std::size_t index = static_cast<std::size_t>(start.y * grid.columns + start.x);
  for (std::uint32_t done = 0; done < count && index < grid.cells.size(); ++done, ++index)
    grid.cells[index].*field = value;
  return true;
}

inline bool gridFillAttribute(ConsoleHandle,
                              std::uint16_t attribute,
                              std::uint32_t count,
                              ConsoleCoord start) {
  return gridFill(&ConsoleCell::attribute, attribute, count, start);
}

inline bool gridFillCharacter(ConsoleHandle,
                              char character,
                              std::uint32_t count,
                              ConsoleCoord start) {
  return gridFill(&ConsoleCell::character, character, count, start);
}

inline bool gridSetCursorPosition(ConsoleHandle, ConsoleCoord position) {
  ConsoleGrid& grid = *active;
  if (!grid.inside(position.x, position.y)) return false;
  grid.cursor = position;
  if (grid.cursorMovesWindow) grid.followCursor();
  return true;
}

inline bool gridSetWindowInfo(ConsoleHandle, const ConsoleRect* window) {
  ConsoleGrid& grid = *active;
  if (window->left < 0 || window->top < 0 || window->right >= grid.columns ||
      window->bottom >= grid.rows || window->left > window->right || window->top > window->bottom)
    return false;
  grid.window = *window;
  return true;
}

inline bool gridWriteFile(ConsoleHandle,
                          const char* bytes,
                          std::uint32_t count,
                          std::uint32_t* written) {
  ConsoleGrid& grid = *active;
  *written = 0;
  if (grid.writeFileFailsAfter >= 0 && grid.writeFileCalls >= grid.writeFileFailsAfter)
    return false;
  ++grid.writeFileCalls;
  std::uint32_t taken = count;
  if (grid.writeFileLimit != 0 && taken > grid.writeFileLimit) taken = grid.writeFileLimit;
  grid.sink.append(bytes, taken);
  *written = taken;
  return true;
}

inline bool gridBeep(std::uint32_t, std::uint32_t) {
  active->screenAtBeep.push_back(active->windowText());
  return true;
}

inline bool gridIsTerminal(ConsoleHandle) { return active->terminal; }

inline std::uint64_t gridTickCount() { return active->clock; }

inline constexpr ConsolePlatform gridPlatform = {
    .getStdHandle = gridGetStdHandle,
    .getConsoleMode = gridGetConsoleMode,
    .setConsoleMode = gridSetConsoleMode,
    .getScreenBufferInfo = gridGetScreenBufferInfo,
    .writeOutput = gridWriteOutput,
    .scrollBuffer = gridScrollBuffer,
    .fillAttribute = gridFillAttribute,
    .fillCharacter = gridFillCharacter,
    .setCursorPosition = gridSetCursorPosition,
    .setWindowInfo = gridSetWindowInfo,
    .writeFile = gridWriteFile,
    .beep = gridBeep,
    .isTerminal = gridIsTerminal,
    .finishOutput = nullptr,
    .tickCount = gridTickCount,
};

}  // namespace console_grid

// Installs `grid` as the console and resets the writer for the scope's life; afterwards the
// writer is reset again and goes back to the platform's own console.
class ConsoleGridScope {
 public:
  explicit ConsoleGridScope(ConsoleGrid& grid) {
    console_grid::active = &grid;
    resetConsoleWriter();
    useConsolePlatform(&console_grid::gridPlatform);
  }
  ~ConsoleGridScope() {
    resetConsoleWriter();
    useConsolePlatform(nullptr);
    console_grid::active = nullptr;
  }
  ConsoleGridScope(const ConsoleGridScope&) = delete;
  ConsoleGridScope& operator=(const ConsoleGridScope&) = delete;
};
