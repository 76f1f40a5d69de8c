// The console writer: puts channel 0's bytes on the screen. Through its own text engine (cells,
// control bytes, wrap, scroll) when standard output is a console; otherwise the bytes go to
// standard output unchanged (the byte path).
#pragma once

#include <cstdint>

// Writes `length` bytes of any value. Reports nothing. On the byte path the bytes wait in a fixed
// buffer until it fills or until consoleFlush(); when standard output is a terminal, at most until
// a write that holds an LF, follows one, or comes a tenth of a second after the last write-out.
// Without a standard output handle nothing is written.
void consoleWrite(const char* bytes, std::uint32_t length);

// The screen's width (buffer columns) and height (window rows); 80 x 25 when there is no
// console. Either pointer may be null.
void consoleSize(int* columns, int* rows);

// The cursor's column counted from 1 at the screen's left edge; 1 when there is no console.
int consoleCursorColumn();

// Pushes out whatever the byte path still holds, so that everything printed so far stands
// before what another process (a command) prints next. Called before every command and at exit.
void consoleFlush();
