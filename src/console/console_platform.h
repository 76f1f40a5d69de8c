// The console operations the writer needs of the platform, as a table of function pointers with
// portable types. console_platform_windows.cpp fills it with the Windows console API,
// console_platform_posix.cpp with a console that is always absent and a byte path to fd 1; tests
// install an in-memory console. The writer calls the platform only through this table.
#pragma once

#include <cstdint>

// A standard handle; null when the platform has none.
using ConsoleHandle = void*;

enum class StandardStream : std::int32_t {
  Input = 0,
  Output = 1,
};

struct ConsoleCoord {
  std::int16_t x;  // column, from 0 at the buffer's left
  std::int16_t y;  // row, from 0 at the buffer's top
};

// A rectangle of cells, all four edges inclusive.
struct ConsoleRect {
  std::int16_t left;
  std::int16_t top;
  std::int16_t right;
  std::int16_t bottom;
};

struct ConsoleCell {
  char character;
  std::uint16_t attribute;
};

struct ConsoleBufferInfo {
  ConsoleCoord size;        // buffer columns and rows
  ConsoleCoord cursor;      // the cursor's cell
  std::uint16_t attribute;  // the attribute given to written text
  ConsoleRect window;       // the buffer's cells the window shows
};

constexpr std::uint32_t ConsoleProcessedInput = 0x0001;

// Every slot mirrors one call of the Windows console API; `false` is the API's FALSE. The slots
// from writeOutput to setWindowInfo, and beep, are called only while a console is present
// (getScreenBufferInfo succeeds): a platform that never has one leaves them null.
struct ConsolePlatform {
  ConsoleHandle (*getStdHandle)(StandardStream which);
  bool (*getConsoleMode)(ConsoleHandle input, std::uint32_t* mode);
  bool (*setConsoleMode)(ConsoleHandle input, std::uint32_t mode);
  // False when the handle is not a console screen buffer.
  bool (*getScreenBufferInfo)(ConsoleHandle output, ConsoleBufferInfo* info);
  // Writes `size` cells (one row) of `cells` into `region`, clipped to the buffer; the cursor
  // does not move and no byte is interpreted. `region` receives the cells written.
  bool (*writeOutput)(ConsoleHandle output,
                      const ConsoleCell* cells,
                      ConsoleCoord size,
                      ConsoleRect* region);
  // Copies `source` (clipped to the buffer) to `destination`; source cells the copy does not
  // cover get `fill`.
  bool (*scrollBuffer)(ConsoleHandle output,
                       const ConsoleRect* source,
                       ConsoleCoord destination,
                       const ConsoleCell* fill);
  // Set `count` consecutive cells from `start` (running on into the next rows).
  bool (*fillAttribute)(ConsoleHandle output,
                        std::uint16_t attribute,
                        std::uint32_t count,
                        ConsoleCoord start);
  bool (*fillCharacter)(ConsoleHandle output,
                        char character,
                        std::uint32_t count,
                        ConsoleCoord start);
  bool (*setCursorPosition)(ConsoleHandle output, ConsoleCoord position);
  // Moves the window to show `window`, in buffer coordinates.
  bool (*setWindowInfo)(ConsoleHandle output, const ConsoleRect* window);
  // The byte path: writes up to `count` bytes, `written` receives how many were taken.
  bool (*writeFile)(ConsoleHandle output,
                    const char* bytes,
                    std::uint32_t count,
                    std::uint32_t* written);
  bool (*beep)(std::uint32_t frequency, std::uint32_t milliseconds);
  // True when the byte path ends on a terminal that a person watches: the writer then pushes its
  // held output out at every line end. Null: never.
  bool (*isTerminal)(ConsoleHandle output);
  // Pushes out what `writeFile` itself holds back (an unfinished character on a terminal).
  // Null: the platform holds nothing back.
  void (*finishOutput)(ConsoleHandle output);
  // Milliseconds of a clock that never goes back (GetTickCount64), read at every write to a
  // terminal, so cheap: no system call where the platform allows. Null: no clock, and output
  // held for a terminal goes out only at line ends.
  std::uint64_t (*tickCount)();
};

// The platform's own table, defined once per platform.
const ConsolePlatform* defaultConsolePlatform();

// Makes the writer use `platform` from now on; null goes back to defaultConsolePlatform().
// For tests, together with resetConsoleWriter().
void useConsolePlatform(const ConsolePlatform* platform);

// Returns the writer's process-wide state (handles, screen rectangle, view rows, pending line
// feed, held byte-path output and when it was last written out) to its state at process start,
// dropping held output unwritten.
void resetConsoleWriter();
