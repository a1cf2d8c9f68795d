// Short notes of the service code to the debug output.
#pragma once

namespace tmb {

// Formats `format` (which consumes exactly one int) with `value` and writes
// the result to the debug output. Formats of 1000 characters or more are
// ignored; the result is cut to 1023 characters.
void DebugTrace(const char* format, int value);

}  // namespace tmb
