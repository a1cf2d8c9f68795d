// Message boxes of the host: on this platform written to standard error as
// "caption: text", with a line feed added when the text has none.
#pragma once

namespace tmb::platform {

// Style bits as the callers pass them; only recorded, never shown.
constexpr unsigned kMbOk = 0x00000000;
constexpr unsigned kMbIconExclamation = 0x00000030;
constexpr unsigned kMbIconWarning = 0x00000030;

// Returns 1 (the OK button), as a box with only that button would.
int MessageBox(const char* text, const char* caption, unsigned style);

}  // namespace tmb::platform
