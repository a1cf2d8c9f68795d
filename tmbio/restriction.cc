#include "restriction.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "key_image.h"

namespace tmbio {

namespace {

constexpr int32_t kMaxText = 65536;

uint8_t Fold(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

// Parses decimal text with optional surrounding blanks and, when `negative_ok`,
// a sign. False on anything else or overflow.
bool ParseDecimal(const std::string& text, bool negative_ok, int64_t* s, uint64_t* u) {
  size_t i = 0, end = text.size();
  while (i < end && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\0')) --end;
  bool negative = false;
  if (i < end && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == end || (negative && !negative_ok)) return false;
  uint64_t v = 0;
  for (; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  if (negative_ok) {
    constexpr uint64_t kMaxPos = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative ? v > kMaxPos + 1 : v > kMaxPos) return false;
    *s = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  } else {
    *u = v;
  }
  return true;
}

template <typename T>
int Compare(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

bool Ordered(int cmp, int32_t op) {
  switch (op) {
    case TMBIO_OP_EQUAL:
      return cmp == 0;
    case TMBIO_OP_NOT_EQUAL:
      return cmp != 0;
    case TMBIO_OP_LESS:
      return cmp < 0;
    case TMBIO_OP_LESS_EQUAL:
      return cmp <= 0;
    case TMBIO_OP_GREATER:
      return cmp > 0;
    default:
      return cmp >= 0;
  }
}

size_t TrimmedLength(const uint8_t* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return n;
}

bool Find(const uint8_t* hay, size_t n, const uint8_t* needle, size_t m, bool fold) {
  if (m == 0) return true;
  for (size_t i = 0; i + m <= n; ++i) {
    size_t j = 0;
    while (j < m && (fold ? Fold(hay[i + j]) == Fold(needle[j]) : hay[i + j] == needle[j])) ++j;
    if (j == m) return true;
  }
  return false;
}

}  // namespace

int32_t Restriction::Put(int32_t selector, const TMBRestriction* r) {
  switch (selector) {
    case TMBIO_RESTRICT_CLEAR:
      conditions_.clear();
      scan_limit_ = 0;
      return 0;
    case TMBIO_RESTRICT_SCAN_LIMIT:
      if (r == nullptr || r->value1 < 0) return TMBIO_INVALID;
      scan_limit_ = r->value1;
      return scan_limit_;
    case TMBIO_RESTRICT_ADD:
      break;
    default:
      return TMBIO_INVALID;
  }
  if (r == nullptr) return TMBIO_INVALID;
  Condition c{};
  c.offset = r->value1;
  c.length = r->value2;
  c.op = r->value3;
  c.comparison = r->value4;
  if (c.offset < 0 || c.length < 1 || c.length > 255 ||
      int64_t{c.offset} + c.length > int64_t{record_room_}) {
    return TMBIO_INVALID;
  }
  if (c.op < TMBIO_OP_EQUAL || c.op > TMBIO_OP_BEGINS) return TMBIO_INVALID;
  if (c.comparison < TMBIO_CMP_BYTES || c.comparison > TMBIO_CMP_UNSIGNED) return TMBIO_INVALID;
  if (r->text_length < 0 || r->text_length > kMaxText || (r->text == nullptr && r->text_length > 0)) {
    return TMBIO_INVALID;
  }
  if (r->text != nullptr) c.text.assign(r->text, static_cast<size_t>(r->text_length));
  if (c.comparison == TMBIO_CMP_SIGNED || c.comparison == TMBIO_CMP_UNSIGNED) {
    if (c.op > TMBIO_OP_GREATER_EQUAL) return TMBIO_INVALID;
    if (c.length != 1 && c.length != 2 && c.length != 4 && c.length != 8) return TMBIO_INVALID;
    if (!ParseDecimal(c.text, c.comparison == TMBIO_CMP_SIGNED, &c.signed_value, &c.unsigned_value)) {
      return TMBIO_INVALID;
    }
  }
  if (conditions_.size() >= TMBIO_MAX_CONDITIONS) return TMBIO_LIMIT;
  conditions_.push_back(std::move(c));
  return static_cast<int32_t>(conditions_.size());
}

bool Restriction::Holds(const Condition& c, const uint8_t* field) const {
  const auto* text = reinterpret_cast<const uint8_t*>(c.text.data());
  const size_t n = static_cast<size_t>(c.length);
  switch (c.comparison) {
    case TMBIO_CMP_SIGNED:
      return Ordered(Compare(ReadSigned(field, c.length), c.signed_value), c.op);
    case TMBIO_CMP_UNSIGNED:
      return Ordered(Compare(ReadUnsigned(field, c.length), c.unsigned_value), c.op);
    default:
      break;
  }
  const bool fold = c.comparison == TMBIO_CMP_NOCASE;
  if (c.op == TMBIO_OP_CONTAINS) return Find(field, n, text, c.text.size(), fold);
  if (c.op == TMBIO_OP_BEGINS) {
    if (c.text.size() > n) return false;
    for (size_t i = 0; i < c.text.size(); ++i) {
      if (fold ? Fold(field[i]) != Fold(text[i]) : field[i] != text[i]) return false;
    }
    return true;
  }
  int cmp = 0;
  if (fold) {
    // Text as a person compares it: case and trailing blanks or NULs aside.
    size_t a = TrimmedLength(field, n);
    size_t b = TrimmedLength(text, c.text.size());
    size_t m = std::min(a, b);
    for (size_t i = 0; i < m && cmp == 0; ++i) cmp = Compare(Fold(field[i]), Fold(text[i]));
    if (cmp == 0) cmp = Compare(a, b);
  } else {
    // The field's bytes against the text cut or padded with zero bytes.
    for (size_t i = 0; i < n && cmp == 0; ++i) {
      uint8_t t = i < c.text.size() ? text[i] : 0;
      cmp = Compare(field[i], t);
    }
  }
  return Ordered(cmp, c.op);
}

bool Restriction::Matches(const uint8_t* record, size_t length) const {
  for (const Condition& c : conditions_) {
    if (static_cast<size_t>(c.offset) + static_cast<size_t>(c.length) > length) return false;
    if (!Holds(c, record + c.offset)) return false;
  }
  return true;
}

}  // namespace tmbio
