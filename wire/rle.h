// Run-length codec of message bodies: the default compression of every
// connection, needing no library. Both ends share it, so the item format is
// part of the wire protocol:
//
//   code 0..127    then that many literal bytes
//   code 128..239  then one byte b: (code - 128) copies of b
//   code 240       then one byte k: k + 111 zero bytes
//   code 241..255  invalid
//
// Neither operation allocates.
#pragma once

#include <cstdint>

namespace tmb {

// Result of RunLengthEncode when the encoding would be longer than the input.
constexpr int32_t kRleDoesNotFit = -1;
// Result of RunLengthDecode when the output would pass its capacity, or the
// stream is malformed (invalid code byte, item cut short by the end).
constexpr int32_t kRleOverflow = -1;

// Encodes src[0, n) into dst, which has room for n bytes. Returns the encoded
// size (at most n) or kRleDoesNotFit. n == 0 yields 0.
int32_t RunLengthEncode(const uint8_t* src, int32_t n, uint8_t* dst);

// Decodes src[0, m) into dst[0, capacity). Returns the decoded size or
// kRleOverflow. Never reads past src + m nor writes past dst + capacity.
int32_t RunLengthDecode(const uint8_t* src, int32_t m, uint8_t* dst, int32_t capacity);

}  // namespace tmb
