// The key flag test that OpenFile applies to a file's first key: does any
// segment of the key carry a flag that the client must know about before it
// builds key values (descending, case, sparse, auto-increment, an integer or
// extended type, or the alternate collating sequence)?
#pragma once

#include <cstdint>

#include "tmbio/tmbio.h"

namespace tmb {

// Flag bits that mark a segment outright. The segment type field (0x3800) is
// tested on its own, so it stays out of this mask: a date segment
// (type 0x1800) is not flagged, while a signed integer (0x0800) is.
constexpr uint16_t kFlaggedSegmentBits = 0x041E;
constexpr uint16_t kSegmentExtendedBit = 0x0200;
constexpr uint16_t kSegmentTypeField = 0x3800;
// Kind 21 marks a segment with this bit; kind 2 with the attribute byte's top bit.
constexpr uint16_t kKind21FlagBit = 0x0080;
constexpr uint8_t kKind2AttributeBit = 0x80;

// Whether one segment's flag word (and, for kind 2, attribute byte) is flagged.
bool SegmentFlagged(int32_t kind, uint16_t flags, uint8_t attribute);

// Whether key `k` (counted from 1; 0 or less: the current key) of `file` has
// a flagged segment. Kinds other than 2 and 21, unknown keys, keys without
// segments and segment indexes outside the file's table give false.
bool KeyFlagged(const TMBFile& file, int32_t k);

}  // namespace tmb
