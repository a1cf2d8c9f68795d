// Frames: one request or one reply on a connection. An 8-byte header (wire
// length N, plain length U, both big-endian) and an N-byte body. Body byte 0
// is never coded; bytes 1 onward travel plain (N == U) or coded (N < U) with
// the codec that both ends derive from the same compression settings.
//
// Client and server use the same two operations, so the rule that picks the
// codec is applied in step on both ends.
#pragma once

#include <chrono>
#include <cstdint>

#include "wire/connection.h"
#include "wire/message_buffer.h"

namespace tmb {

constexpr uint64_t kFrameHeaderSize = 8;

struct CompressionSettings {
  uint32_t level = 0;           // 0, or 100 once zlib has been granted
  uint32_t rle_threshold = 0;   // bodies longer than this may be run-length coded
  uint32_t zlib_threshold = 0;  // bodies longer than this use zlib when granted
  int32_t warmup = 0;           // exchanges left before zlib may be used
};

enum class Codec { kNone, kRunLength, kZlib };

// The codec for a body of `plain_length` bytes.
Codec CompressionChoice(const CompressionSettings& s, uint32_t plain_length);

enum class ReceiveResult {
  kOk,         // a whole body is in the buffer, cursor 0, length U
  kClosed,     // the peer went away, the transport failed, the frame came too
               // slowly, or no memory for it
  kMalformed,  // the header or the coded body is not a valid frame
};

// Reads one frame into `b`, decoding its body. Frames whose N or U exceeds
// `max_size` are refused before anything is allocated for them. With a
// `frame_timeout` above zero, a frame not whole within that time of its
// first byte counts as closed; the wait for the first byte has no limit.
ReceiveResult ReceiveFrame(Connection& c, MessageBuffer& b, CompressionSettings& s,
                           uint64_t max_size,
                           std::chrono::milliseconds frame_timeout = std::chrono::milliseconds{0});

// Sends the body held in b[8, length) as one frame, coding it when that makes
// it strictly shorter. False when the transport failed.
bool SendFrame(Connection& c, MessageBuffer& b, CompressionSettings& s);

}  // namespace tmb
