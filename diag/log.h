// The log file: "tmbsqlsvr.log" in the current directory, created (or
// truncated) by the first message of a run and kept open until the process
// ends. Each message is one line ending in CR LF, flushed at once.
#pragma once

namespace tmb {

// Formats and appends one line. A file that cannot be opened drops the
// message; the next message tries again. Safe from any thread: the first
// open happens once and every line is written whole.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tmb
