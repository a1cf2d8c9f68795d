#include "handlers/key_flags.h"

namespace tmb {

bool SegmentFlagged(int32_t kind, uint16_t flags, uint8_t attribute) {
  if ((flags & kFlaggedSegmentBits) != 0) return true;
  if ((flags & kSegmentExtendedBit) != 0) return true;
  const uint16_t type = flags & kSegmentTypeField;
  if (type == 0x0800 || type == 0x1000 || type == 0x2000) return true;
  if (kind == 21 && (flags & kKind21FlagBit) != 0) return true;
  if (kind == 2 && (attribute & kKind2AttributeBit) != 0) return true;
  return false;
}

bool KeyFlagged(const TMBFile& file, int32_t k) {
  if (file.kind != 2 && file.kind != 21) return false;
  if (k <= 0) k = file.current_key;
  // The tables belong to the library; only what they say they hold is read.
  if (k < 1 || k > file.key_count || file.keys == nullptr || file.segments == nullptr) return false;
  const TMBFileKey& key = file.keys[k - 1];
  for (int64_t i = 0; i < key.segment_count; ++i) {
    const int64_t index = static_cast<int64_t>(key.first_segment) + i;
    if (index < 0 || index >= file.segment_total) break;
    const TMBFileSegment& segment = file.segments[index];
    if (SegmentFlagged(file.kind, segment.flags, segment.attribute)) return true;
  }
  return false;
}

}  // namespace tmb
