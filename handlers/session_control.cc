#include "handlers/session_control.h"

#include <cstring>

#include "handlers/text_field.h"
#include "secure/access_check.h"
#include "secure/rights.h"
#include "wire/compression.h"
#include "server/client_slots.h"
#include "server/session.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

// Reply of IdentifyClient when the slot table has no room for the name.
constexpr int16_t kNoFreeSlot = -2;

// Admits the connection under `name`. The slot is noted in the session only
// once the table has granted it, so the session's end gives back exactly
// what was taken: nothing after a refusal, one count however often the same
// name is given. An empty name is admitted without a slot.
bool TakeSlot(Session& s, const char* name) {
  if (s.slot_name[0] != '\0' && std::strcmp(s.slot_name, name) == 0) return true;
  if (s.slot_name[0] != '\0') {
    ReleaseSlot(s.slot_name);
    s.slot_name[0] = '\0';
  }
  s.client_name[0] = '\0';
  if (!AcquireSlot(name, static_cast<uint64_t>(s.conn.fd))) return false;
  std::memcpy(s.slot_name, name, sizeof s.slot_name);
  std::memcpy(s.client_name, name, sizeof s.client_name);
  return true;
}

}  // namespace

void Hello(Session& s) {
  s.buffer.BeginReply();
  PutInt16(s.buffer, 0);
}

void RefuseRequest(Session& s) {
  s.buffer.BeginReply();
  PutInt16(s.buffer, -2);
}

void IdentifyClient(Session& s) {
  char identity1[65];  // 64 bytes and a further zero byte
  char identity2[128];
  char unused[64];
  char resource1[128];
  char resource2[128];
  char client[kClientNameSize];
  const TextField fields[] = {{identity1, sizeof identity1, 64}, WholeField(identity2),
                              WholeField(unused), WholeField(resource1),
                              WholeField(resource2), WholeField(client)};
  GetOptionalTexts(s.buffer, fields, TextFlag::kInt16One);
  int16_t code = kNoFreeSlot;
  if (TakeSlot(s, client)) {
    const int32_t access = CheckAccess(identity1, identity2, unused, resource1, resource2);
    EarnRights(&s.rights, identity1, identity2, resource1, resource2, access);
    code = static_cast<int16_t>(access);
  } else {
    // A refused connection keeps nothing of an earlier identification.
    DropRights(&s.rights);
  }
  s.buffer.BeginReply();
  PutInt16(s.buffer, code);
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
