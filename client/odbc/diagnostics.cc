#include "client/odbc/diagnostics.h"

#include <sqlite3.h>

#include <cstring>
#include <string>

#include "client/sql/result_codes.h"

namespace tmb::odbc {

void Diagnostics::Add(const std::string& state, const std::string& message, int32_t native) {
  records_.push_back({state, native, "[tmbodbc] " + message});
}

namespace {

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The data library's statuses for a record another client has locked and a
// file another client's transaction holds (TMBIO_LOCKED, TMBIO_BUSY).
constexpr int32_t kStatusLocked = -6;
constexpr int32_t kStatusBusy = -7;

// Whether `message` ends with the status in parentheses, as the view's
// reads end every failure with the server's status (Session::Failure).
bool EndsWithStatus(const std::string& message, int32_t status) {
  const std::string end = "(" + std::to_string(status) + ")";
  return message.size() >= end.size() &&
         message.compare(message.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

const char* StateForSqlite(int code, const std::string& message, bool preparing) {
  // The SQL view's own extended codes, before their primary one.
  switch (code) {
    case sql::kResultOutOfRange:
      return "22003";
    case sql::kResultNotADate:
      return "22007";
    default:
      break;
  }
  switch (code & 0xff) {
    case SQLITE_CONSTRAINT:
      return "23000";
    case SQLITE_TOOBIG:
      return "22001";
    case SQLITE_MISMATCH:
      return "22018";
    case SQLITE_RANGE:
      return "07009";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "40001";
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return "08S01";
    case SQLITE_NOMEM:
      return "HY001";
    case SQLITE_INTERRUPT:
      return "HY008";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "42000";
    case SQLITE_ERROR:
      if (Contains(message, "no such table")) return "42S02";
      if (Contains(message, "no such column")) return "42S22";
      if (Contains(message, "already exists")) return "42S01";
      // A read that met another client's lock or transaction; a write
      // says so by its code.
      if (EndsWithStatus(message, kStatusLocked) || EndsWithStatus(message, kStatusBusy)) {
        return "40001";
      }
      // The client library's words for a connection that is gone.
      if (Contains(message, "the server closed the connection") ||
          Contains(message, "not connected") || Contains(message, "cannot send the request") ||
          Contains(message, "invalid reply frame")) {
        return "08S01";
      }
      return preparing ? "42000" : "HY000";
    default:
      return "HY000";
  }
}

const char* ClassOrigin(const std::string& state) {
  // States whose class ODBC added to the standard's carry its origin.
  static const char* const kOdbcClasses[] = {"01S", "07S", "08S", "21S", "25S", "42S",
                                             "HY", "IM"};
  for (const char* c : kOdbcClasses) {
    if (state.compare(0, std::strlen(c), c) == 0) return "ODBC 3.0";
  }
  return "ISO 9075";
}

bool CopyText(const std::string& text, char* buffer, long capacity, long* length) {
  if (length != nullptr) *length = static_cast<long>(text.size());
  if (buffer == nullptr) return false;
  if (capacity <= 0) return !text.empty();
  const size_t room = static_cast<size_t>(capacity) - 1;
  const size_t n = text.size() < room ? text.size() : room;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n < text.size();
}

}  // namespace tmb::odbc
