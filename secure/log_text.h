// Texts from clients on their way into log and trace lines. A client text
// must never end a line early or start one of its own, so that every line
// in the log is one the server wrote.
#pragma once

#include <string>
#include <string_view>

namespace tmb {

// The text with its control bytes written out: a line feed as "\n", every
// other byte below 0x20 and 0x7F as "\xNN" (two lowercase hex digits). Bytes
// above 0x7F, which are letters in Windows-1252, stay as they are.
std::string EscapeControlBytes(std::string_view text);

}  // namespace tmb
