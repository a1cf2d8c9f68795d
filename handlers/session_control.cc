#include "handlers/session_control.h"

#include "secure/compression.h"
#include "server/session.h"
#include "server/wire.h"

namespace tmb {

void Hello(Session& s) {
  s.buffer.BeginReply();
  PutInt16(s.buffer, 0);
}

void RefuseRequest(Session& s) {
  s.buffer.BeginReply();
  PutInt16(s.buffer, -2);
}

void SetCompression(Session& s) {
  const uint8_t requested = GetByte(s.buffer);
  const uint32_t rle_threshold = static_cast<uint32_t>(GetInt32(s.buffer));
  const uint32_t zlib_threshold = static_cast<uint32_t>(GetInt32(s.buffer));
  const uint8_t granted =
      requested == kZlibCapability && CompressionCapability() == kZlibCapability ? kZlibCapability
                                                                                 : 0;
  s.compression.level = granted;
  s.compression.rle_threshold = rle_threshold;
  s.compression.zlib_threshold = zlib_threshold;
  s.buffer.BeginReply();
  PutByte(s.buffer, granted);
}

}  // namespace tmb
