#include "wire/frame.h"

#include <cstring>
#include <optional>

#include "wire/compression.h"
#include "wire/request_memory.h"
#include "wire/rle.h"
#include "wire/primitives.h"
#include "wire/scratch_buffer.h"

namespace tmb {
namespace {

// The time-out of one incoming frame. It starts with the frame's first
// byte, so that a client may idle between requests as long as it likes, and
// it bounds the whole frame rather than each read, so that a byte now and
// then cannot keep a session waiting for ever.
class FrameClock {
 public:
  explicit FrameClock(std::chrono::milliseconds timeout) : timeout_(timeout) {}

  int64_t Receive(Connection& c, uint8_t* dest, int64_t n) {
    if (deadline_) return ConnectionReceiveBy(c, dest, n, *deadline_);
    const int64_t r = ConnectionReceive(c, dest, n);
    if (r > 0 && timeout_.count() > 0) deadline_ = std::chrono::steady_clock::now() + timeout_;
    return r;
  }

 private:
  std::chrono::milliseconds timeout_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// Reads exactly n bytes; any short, failed, impossible or late read fails.
bool ReadExactly(Connection& c, uint8_t* dest, uint64_t n, FrameClock& clock) {
  uint64_t got = 0;
  while (got < n) {
    const int64_t want = static_cast<int64_t>(n - got);
    const int64_t r = clock.Receive(c, dest + got, want);
    if (r <= 0 || r > want) return false;
    got += static_cast<uint64_t>(r);
  }
  return true;
}

void CountExchange(CompressionSettings& s) {
  if (s.warmup > 0) --s.warmup;
}

// Messages below one buffer unit are coded through a local area; larger ones
// through a block of the request's own. The area is asked for with 33 spare
// bytes past the message, which the local array has room for too.
constexpr uint64_t kCodingSlack = 33;
using CodingArea = ScratchBuffer<kBufferUnit - 1 + kCodingSlack>;

}  // namespace

Codec CompressionChoice(const CompressionSettings& s, uint32_t plain_length) {
  const Codec run_length = plain_length > s.rle_threshold ? Codec::kRunLength : Codec::kNone;
  if (s.warmup > 0 || s.level == 0) return run_length;
  if (s.level == static_cast<uint32_t>(kZlibCapability)) {
    return plain_length > s.zlib_threshold ? Codec::kZlib : run_length;
  }
  return Codec::kNone;
}

ReceiveResult ReceiveFrame(Connection& c, MessageBuffer& b, CompressionSettings& s,
                           uint64_t max_size, std::chrono::milliseconds frame_timeout) {
  FrameClock clock(frame_timeout);
  uint8_t header[kFrameHeaderSize];
  if (!ReadExactly(c, header, 4, clock) || !ReadExactly(c, header + 4, 4, clock)) {
    return ReceiveResult::kClosed;
  }
  const uint32_t wire_length = LoadBigEndian32(header);
  const uint32_t plain_length = LoadBigEndian32(header + 4);

  if (wire_length > max_size || plain_length > max_size) return ReceiveResult::kMalformed;
  // A coded body still carries its uncoded first byte; an empty one that
  // claims a plain length has nothing to decode from.
  if (wire_length == 0 && plain_length > 0) return ReceiveResult::kMalformed;
  if (!b.EnsureCapacity(plain_length, false)) return ReceiveResult::kClosed;
  if (wire_length > b.capacity()) return ReceiveResult::kMalformed;

  const Codec codec = CompressionChoice(s, plain_length);
  if (plain_length > wire_length && codec != Codec::kNone) {
    // The coded bytes wait aside and are decoded straight into the buffer,
    // so that a request never holds its plain length twice.
    RequestMemoryHold hold;
    if (!hold.Take(wire_length)) return ReceiveResult::kClosed;
    CodingArea scratch(wire_length);
    uint8_t* coded = scratch.data();
    if (!ReadExactly(c, coded, wire_length, clock)) return ReceiveResult::kClosed;
    uint8_t* body = b.data();
    body[0] = coded[0];
    const int32_t size = static_cast<int32_t>(wire_length - 1);
    const int32_t room = static_cast<int32_t>(plain_length - 1);
    const int32_t decoded = codec == Codec::kRunLength
                                ? RunLengthDecode(coded + 1, size, body + 1, room)
                                : UncompressBlock(body + 1, room, coded + 1, size);
    if (decoded < 0) return ReceiveResult::kMalformed;
    // A body that decodes short keeps its announced length; the missing tail
    // reads as zeros, never as whatever the buffer held before.
    std::memset(body + 1 + decoded, 0, static_cast<size_t>(room - decoded));
    b.set_length(plain_length);
  } else {
    if (!ReadExactly(c, b.data(), wire_length, clock)) return ReceiveResult::kClosed;
    b.set_length(wire_length);
  }
  b.set_cursor(0);
  CountExchange(s);
  return ReceiveResult::kOk;
}

bool SendFrame(Connection& c, MessageBuffer& b, CompressionSettings& s) {
  uint64_t length = b.length();
  StoreBigEndian32(b.data() + 4, static_cast<uint32_t>(length - kFrameHeaderSize));
  uint8_t* frame = b.data();

  const Codec codec = CompressionChoice(s, static_cast<uint32_t>(length - kFrameHeaderSize));
  std::optional<CodingArea> scratch;
  if (codec != Codec::kNone && length > kFrameHeaderSize + 1) {
    scratch.emplace(length + kCodingSlack);
    uint8_t* area = scratch->data();
    std::memcpy(area, b.data(), kFrameHeaderSize + 1);
    const int32_t plain = static_cast<int32_t>(length - kFrameHeaderSize - 1);
    const uint8_t* source = b.data() + kFrameHeaderSize + 1;
    uint8_t* dest = area + kFrameHeaderSize + 1;
    const int32_t coded = codec == Codec::kRunLength ? RunLengthEncode(source, plain, dest)
                                                     : CompressBlock(dest, plain, source, plain);
    if (coded >= 0 && coded < plain) {
      frame = area;
      length = static_cast<uint64_t>(coded) + kFrameHeaderSize + 1;
    }
  }
  StoreBigEndian32(frame, static_cast<uint32_t>(length - kFrameHeaderSize));
  if (ConnectionSend(c, frame, static_cast<int64_t>(length)) == -1) return false;
  b.set_cursor(b.length());
  CountExchange(s);
  return true;
}

}  // namespace tmb
