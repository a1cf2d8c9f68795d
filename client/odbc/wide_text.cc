#include "client/odbc/wide_text.h"

#include <cstring>

#include "client/odbc/diagnostics.h"
#include "client/odbc/value.h"

namespace tmb::odbc {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is a UTF-16 unit");

namespace {

char16_t UnitAt(const SQLWCHAR* text, size_t i) {
  char16_t unit;
  std::memcpy(&unit, reinterpret_cast<const char*>(text) + i * sizeof unit, sizeof unit);
  return unit;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xd800 && unit <= 0xdbff; }

}  // namespace

std::string WideToUtf8(const SQLWCHAR* text, long length) {
  if (text == nullptr) return {};
  size_t n = 0;
  if (length < 0) {
    while (UnitAt(text, n) != 0) ++n;
  } else {
    n = static_cast<size_t>(length);
  }
  std::u16string units(n, u'\0');
  if (n > 0) std::memcpy(units.data(), text, n * sizeof(char16_t));
  return Utf16ToUtf8(units.data(), units.size());
}

bool CopyWide(const std::string& text, SQLWCHAR* buffer, long capacity, long* length) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (length != nullptr) *length = static_cast<long>(wide.size());
  if (buffer == nullptr) return false;
  if (capacity <= 0) return !wide.empty();
  size_t n = wide.size() < static_cast<size_t>(capacity) - 1 ? wide.size()
                                                              : static_cast<size_t>(capacity) - 1;
  // Half a pair is no character: the cut goes before it.
  if (n < wide.size() && n > 0 && IsHighSurrogate(wide[n - 1])) --n;
  const char16_t nul = 0;
  std::memcpy(buffer, wide.data(), n * sizeof(char16_t));
  std::memcpy(reinterpret_cast<char*>(buffer) + n * sizeof(char16_t), &nul, sizeof nul);
  return n < wide.size();
}

std::string TextArg(Width width, const void* text, long length) {
  if (text == nullptr) return {};
  if (width == Width::kWide) return WideToUtf8(static_cast<const SQLWCHAR*>(text), length);
  const char* s = static_cast<const char*>(text);
  if (length < 0) return std::string(s);
  return std::string(s, static_cast<size_t>(length));
}

std::optional<std::string> OptionalArg(Width width, const void* text, long length) {
  if (text == nullptr) return std::nullopt;
  return TextArg(width, text, length);
}

bool TextOut::Put(const std::string& text, long* length) const {
  if (width_ == Width::kNarrow) {
    return CopyText(text, static_cast<char*>(buffer_), capacity_, length);
  }
  // An odd byte left over holds no unit.
  const long units = bytes_ && capacity_ > 0 ? capacity_ / 2 : capacity_;
  long full = 0;
  const bool cut = CopyWide(text, static_cast<SQLWCHAR*>(buffer_), units, &full);
  if (length != nullptr) *length = bytes_ ? full * 2 : full;
  return cut;
}

}  // namespace tmb::odbc
