// Turning bytes into UTF-16 text (Windows): the one conversion that refuses bytes not valid in
// the code page instead of guessing. It sits with the status store, at the bottom, so that file
// names (channels) and the command lines the program runs (commands) may both use it.
#pragma once

#include <string>
#include <string_view>

// Replaces `wide` with `bytes` read in `codePage` (CP_ACP, CP_UTF8, ...). False for no bytes or
// bytes that are not valid in the code page; `wide` is then unspecified.
bool widenBytes(std::string_view bytes, unsigned codePage, std::wstring& wide);
