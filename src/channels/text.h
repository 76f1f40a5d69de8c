// Text: a counted byte string. Any byte value may occur, NUL included; lengths and positions
// count bytes.
#pragma once

#include <string>
#include <string_view>

using Text = std::string;
