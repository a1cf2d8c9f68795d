// Text arguments and text buffers of the entry points, in either width:
// the narrow functions' bytes (UTF-8, as the driver and the server keep
// every text) or the W functions' SQLWCHAR units (UTF-16, two bytes on
// unixODBC). Every entry point reads and writes its texts through here, so
// that a narrow function and its W twin share one implementation. Contract:
//
// - WideToUtf8 reads `length` UTF-16 units, or up to the NUL when length is
//   negative (SQL_NTS); a surrogate pair becomes one 4-byte character, a
//   lone surrogate U+FFFD. A null pointer is an empty text. The text may sit
//   at any address (an application's SQLPOINTER need not be aligned).
// - CopyWide puts UTF-8 into a wide buffer of `capacity` units the ODBC
//   way: at most capacity - 1 units and a NUL, never the first half of a
//   surrogate pair without its second; *length gets the full length in
//   units; true when it had to cut. A byte that is no UTF-8 becomes U+FFFD.
//   A null buffer only measures; a capacity of zero or less writes nothing.
// - TextArg and OptionalArg read an application's text argument of either
//   width, `length` counted in characters of that width (bytes or units);
//   OptionalArg tells a null pointer from an empty text.
// - TextOut is an application's buffer for a text the driver hands out.
//   Chars is for SQLCHAR*/SQLWCHAR* arguments, whose capacity and reported
//   length count characters of the function's width; Bytes for SQLPOINTER
//   arguments (SQLGetInfo, SQLColAttribute, SQLGetDiagField, attributes),
//   which count bytes in either width. Put writes as CopyText (narrow) or
//   CopyWide (wide) do and reports the full length in the buffer's count.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>

namespace tmb::odbc {

enum class Width { kNarrow, kWide };

std::string WideToUtf8(const SQLWCHAR* text, long length);
bool CopyWide(const std::string& text, SQLWCHAR* buffer, long capacity, long* length);

std::string TextArg(Width width, const void* text, long length);
std::optional<std::string> OptionalArg(Width width, const void* text, long length);

class TextOut {
 public:
  static TextOut Chars(Width width, void* buffer, long capacity) {
    return TextOut(width, buffer, capacity, false);
  }
  static TextOut Bytes(Width width, void* buffer, long capacity) {
    return TextOut(width, buffer, capacity, true);
  }
  bool Put(const std::string& text, long* length) const;

 private:
  TextOut(Width width, void* buffer, long capacity, bool bytes)
      : width_(width), buffer_(buffer), capacity_(capacity), bytes_(bytes) {}
  Width width_;
  void* buffer_;
  long capacity_;  // as the application gave it
  bool bytes_;
};

}  // namespace tmb::odbc
