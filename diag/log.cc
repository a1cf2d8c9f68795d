#include "diag/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace tmb {

namespace {

// The server runs without a current drive root, so the file lives in the
// current directory.
constexpr char kLogPath[] = "tmbsqlsvr.log";
constexpr char kHeader[] = "\r\nOpened Log file\r\n";

// One lock covers the first open and every line, so that threads starting
// together open the file once and lines never interleave.
std::mutex log_mutex;
std::FILE* log_file = nullptr;  // guarded by log_mutex; open until exit

// Formats into `line` and appends CR LF; false when the C library cannot
// format the message (result beyond INT_MAX). Most messages fit the stack
// buffer; longer ones are formatted a second time into the string.
bool FormatLine(std::string& line, const char* format, va_list args) {
  char stack[512];
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(stack, sizeof stack, format, args);
  if (needed < 0) {
    va_end(again);
    return false;
  }
  if (static_cast<size_t>(needed) < sizeof stack) {
    line.assign(stack, static_cast<size_t>(needed));
  } else {
    line.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(line.data(), line.size(), format, again);
    line.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  line += "\r\n";
  return true;
}

}  // namespace

void WriteLog(const char* format, ...) {
  if (format == nullptr) return;
  std::string line;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLine(line, format, args);
  va_end(args);
  if (!formatted) return;

  std::lock_guard<std::mutex> lock(log_mutex);
  if (log_file == nullptr) {
    // "e" (close-on-exec): processes the server starts must not inherit it.
    log_file = std::fopen(kLogPath, "wbe");
    if (log_file == nullptr) return;  // dropped; the next message tries again
    std::fwrite(kHeader, 1, sizeof kHeader - 1, log_file);
  }
  // Write errors are ignored: the log has nowhere to report them.
  std::fwrite(line.data(), 1, line.size(), log_file);
  std::fflush(log_file);
}

}  // namespace tmb
