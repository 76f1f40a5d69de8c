// The console platform on Windows: each slot is the console API call of the same name. Cells
// are converted to CHAR_INFO here; the writer never hands over more than 256 cells at a time.
// A cell's byte is a character of the ANSI code page, the program's byte form (names come in
// it), and is shown as that character whatever the console's own code page.
#include <windows.h>

#include "console/console_platform.h"

namespace {

constexpr int MaxCells = 256;

COORD toCoord(ConsoleCoord value) { return COORD{value.x, value.y}; }

SMALL_RECT toRect(const ConsoleRect& value) {
  return SMALL_RECT{value.left, value.top, value.right, value.bottom};
}

// What each byte shows as: ASCII as itself, control bytes as the console has always drawn them
// (its code page's glyphs), and the other bytes as their characters in the ANSI code page; a
// byte that is no character alone there (a lead byte of a double-byte code page) as "?".
struct CellCharacters {
  wchar_t of[256];
  CellCharacters() {
    const UINT consolePage = GetConsoleOutputCP();
    for (int byte = 0; byte < 256; ++byte) {
      const char value = static_cast<char>(byte);
      wchar_t character = L'?';
      if (byte >= 0x20 && byte < 0x80) {
        character = static_cast<wchar_t>(byte);
      } else if (byte < 0x20) {
        if (MultiByteToWideChar(consolePage != 0 ? consolePage : CP_OEMCP, MB_USEGLYPHCHARS, &value,
                                1, &character, 1) != 1) {
          character = static_cast<wchar_t>(byte);
        }
      } else if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &value, 1, &character, 1) != 1) {
        character = L'?';
      }
      of[byte] = character;
    }
  }
};

CHAR_INFO toCharInfo(const ConsoleCell& cell) {
  static const CellCharacters characters;
  CHAR_INFO info = {};
  info.Char.UnicodeChar = characters.of[static_cast<unsigned char>(cell.character)];
  info.Attributes = cell.attribute;
  return info;
}

// A process started without a standard handle has none (null) or an invalid one: the writer
// then gets null and shows nothing. Start-up (start_windows.cpp) has already forgotten a handle
// that was not open, before a file of the run could be given its value.
ConsoleHandle windowsGetStdHandle(StandardStream which) {
  const HANDLE handle =
      GetStdHandle(which == StandardStream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool windowsGetConsoleMode(ConsoleHandle input, std::uint32_t* mode) {
  DWORD value = 0;
  if (!GetConsoleMode(input, &value)) return false;
  *mode = value;
  return true;
}

bool windowsSetConsoleMode(ConsoleHandle input, std::uint32_t mode) {
  return SetConsoleMode(input, mode) != FALSE;
}

bool windowsGetScreenBufferInfo(ConsoleHandle output, ConsoleBufferInfo* info) {
  CONSOLE_SCREEN_BUFFER_INFO raw = {};
  if (!GetConsoleScreenBufferInfo(output, &raw)) return false;
  info->size = ConsoleCoord{raw.dwSize.X, raw.dwSize.Y};
  info->cursor = ConsoleCoord{raw.dwCursorPosition.X, raw.dwCursorPosition.Y};
  info->attribute = raw.wAttributes;
  info->window =
      ConsoleRect{raw.srWindow.Left, raw.srWindow.Top, raw.srWindow.Right, raw.srWindow.Bottom};
  return true;
}

bool windowsWriteOutput(ConsoleHandle output,
                        const ConsoleCell* cells,
                        ConsoleCoord size,
                        ConsoleRect* region) {
  const int count = size.x * size.y;
  if (size.x < 0 || size.y < 0 || count > MaxCells) return false;
  CHAR_INFO converted[MaxCells];
  for (int i = 0; i < count; ++i) converted[i] = toCharInfo(cells[i]);
  SMALL_RECT target = toRect(*region);
  const BOOL result = WriteConsoleOutputW(output, converted, toCoord(size), COORD{0, 0}, &target);
  *region = ConsoleRect{target.Left, target.Top, target.Right, target.Bottom};
  return result != FALSE;
}

bool windowsScrollBuffer(ConsoleHandle output,
                         const ConsoleRect* source,
                         ConsoleCoord destination,
                         const ConsoleCell* fill) {
  const SMALL_RECT sourceRect = toRect(*source);
  const CHAR_INFO fillCell = toCharInfo(*fill);
  return ScrollConsoleScreenBufferW(output, &sourceRect, nullptr, toCoord(destination),
                                    &fillCell) != FALSE;
}

bool windowsFillAttribute(ConsoleHandle output,
                          std::uint16_t attribute,
                          std::uint32_t count,
                          ConsoleCoord start) {
  DWORD done = 0;
  return FillConsoleOutputAttribute(output, attribute, count, toCoord(start), &done) != FALSE;
}

bool windowsFillCharacter(ConsoleHandle output,
                          char character,
                          std::uint32_t count,
                          ConsoleCoord start) {
  DWORD done = 0;
  return FillConsoleOutputCharacterA(output, character, count, toCoord(start), &done) != FALSE;
}

bool windowsSetCursorPosition(ConsoleHandle output, ConsoleCoord position) {
  return SetConsoleCursorPosition(output, toCoord(position)) != FALSE;
}

bool windowsSetWindowInfo(ConsoleHandle output, const ConsoleRect* window) {
  const SMALL_RECT rect = toRect(*window);
  return SetConsoleWindowInfo(output, TRUE, &rect) != FALSE;
}

bool windowsWriteFile(ConsoleHandle output,
                      const char* bytes,
                      std::uint32_t count,
                      std::uint32_t* written) {
  DWORD done = 0;
  if (output == nullptr) return false;
  const BOOL result = WriteFile(output, bytes, count, &done, nullptr);
  *written = done;
  return result == TRUE;
}

bool windowsBeep(std::uint32_t frequency, std::uint32_t milliseconds) {
  return Beep(frequency, milliseconds) != FALSE;
}

// A character device (a console with a one-row window, or a serial line) is watched live; files
// and pipes are not.
bool windowsIsTerminal(ConsoleHandle output) {
  return output != nullptr && GetFileType(output) == FILE_TYPE_CHAR;
}

std::uint64_t windowsTickCount() { return GetTickCount64(); }

constexpr ConsolePlatform windowsConsolePlatform = {
    .getStdHandle = windowsGetStdHandle,
    .getConsoleMode = windowsGetConsoleMode,
    .setConsoleMode = windowsSetConsoleMode,
    .getScreenBufferInfo = windowsGetScreenBufferInfo,
    .writeOutput = windowsWriteOutput,
    .scrollBuffer = windowsScrollBuffer,
    .fillAttribute = windowsFillAttribute,
    .fillCharacter = windowsFillCharacter,
    .setCursorPosition = windowsSetCursorPosition,
    .setWindowInfo = windowsSetWindowInfo,
    .writeFile = windowsWriteFile,
    .beep = windowsBeep,
    .isTerminal = windowsIsTerminal,
    .finishOutput = nullptr,
    .tickCount = windowsTickCount,
};

}  // namespace

const ConsolePlatform* defaultConsolePlatform() { return &windowsConsolePlatform; }
