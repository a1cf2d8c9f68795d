// A cursor over registry data made of bracketed fields, "[one][two]...", as
// the catalog values and the access entries hold them. It only reads: each
// format decides for itself which brackets it checks and what a field that
// does not fit means. No read passes the end of the text, wherever the
// cursor has been moved.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tmb {

class BracketedFields {
 public:
  // The text is data[0, end); the cursor starts at its beginning.
  BracketedFields(const char* data, size_t end) : data_(data), end_(end) {}

  // Moves the cursor past `c` when that is the character at it.
  bool Take(char c);

  // Moves the cursor past the next `c` at or after it. False, the cursor
  // left where it was, when the rest of the text has none.
  bool SkipPast(char c);

  // Moves the cursor one character on without looking at it.
  void Skip() { ++pos_; }

  // The text from the cursor to the next "]", when there is one before the
  // end and the text is at most `max` characters long; the cursor then moves
  // past that "]". Otherwise nothing, and the cursor stays.
  std::optional<std::string_view> Field(size_t max);

 private:
  // The rest of the text from the cursor; empty once the cursor is past it.
  std::string_view Rest() const;

  const char* data_;
  size_t end_;
  size_t pos_ = 0;
};

}  // namespace tmb
