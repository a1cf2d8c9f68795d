// Key images: the form a key value is kept in inside a data file, whose byte
// order (memcmp, then length) is the key's sort order. Text is kept as is
// (folded to upper case when compared ignoring case), integers big-endian
// (signed ones with the sign bit flipped), dates as their text; a descending
// segment has its bytes inverted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "definition.h"

namespace tmbio {

// Key `key`'s value in client form: its segments' bytes of `record` (the
// fixed part at least) one after the other; writes key.value_length bytes.
void KeyValue(const Key& key, const uint8_t* record, uint8_t* out);

// Key `key`'s image of `record`. False when a sparse segment leaves the
// record out of the key (then no image).
bool BuildImage(const Key& key, const uint8_t* record, std::string* image);

// Turns a client key value of `length` bytes (a whole value or a partial one:
// whole segments, then a prefix of a text segment) into the image prefix
// that every record whose value starts so begins with. Returns 0,
// TMBIO_BAD_LENGTH for a value longer than the key, TMBIO_INVALID for a
// partial integer segment.
int32_t ImagePrefix(const Key& key, const uint8_t* value, size_t length, std::string* prefix);

// Turns `prefix` into the least byte string above every string that starts
// with it. False when there is none (the prefix is empty or all 0xFF).
bool PrefixSuccessor(std::string* prefix);

// True when an image (`length` bytes; null for none) starts with `prefix`.
inline bool ImageStartsWith(const uint8_t* image, int32_t length, const std::string& prefix) {
  return image != nullptr && static_cast<size_t>(length) >= prefix.size() &&
         (prefix.empty() || memcmp(image, prefix.data(), prefix.size()) == 0);
}

// Decodes an integer segment of the record (little-endian, 1 to 8 bytes).
int64_t ReadSigned(const uint8_t* p, int32_t length);
uint64_t ReadUnsigned(const uint8_t* p, int32_t length);
void WriteInteger(uint64_t value, uint8_t* p, int32_t length);

}  // namespace tmbio
