// The conditions and scan limit that restricted and first reads of one open
// file apply (QDK_PutRestrictInfo).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tmbio/tmbio.h"

namespace tmbio {

class Restriction {
 public:
  // `record_room`: the longest record of the file (fixed plus variable
  // part); a condition must lie inside it.
  explicit Restriction(int32_t record_room) : record_room_(record_room) {}

  // Applies QDK_PutRestrictInfo's selector. Returns the number of
  // conditions (the limit for selector 2), TMBIO_INVALID, TMBIO_LIMIT.
  int32_t Put(int32_t selector, const TMBRestriction* r);

  // True when `record` (`length` bytes) meets every condition. A condition
  // reaching past the record's end does not hold.
  bool Matches(const uint8_t* record, size_t length) const;

  int32_t scan_limit() const { return scan_limit_; }

 private:
  struct Condition {
    int32_t offset;
    int32_t length;
    int32_t op;
    int32_t comparison;
    std::string text;   // bytes; for the integer comparisons, unused
    int64_t signed_value;
    uint64_t unsigned_value;
  };
  bool Holds(const Condition& c, const uint8_t* field) const;

  int32_t record_room_;
  std::vector<Condition> conditions_;
  int32_t scan_limit_ = 0;
};

}  // namespace tmbio
