#include "handlers/request_fields.h"

#include "wire/errors.h"
#include "server/server.h"
#include "wire/primitives.h"

namespace tmb {

uint32_t SkipBlock(MessageBuffer& b, uint32_t capacity) {
  const int32_t n = GetInt32(b);
  if (n < 0) throw MalformedRequest("negative block length");
  if (static_cast<uint32_t>(n) > capacity) throw MalformedRequest("block longer than its field");
  if (Remaining(b) < static_cast<uint64_t>(n)) throw MalformedRequest("request ends inside a field");
  b.set_cursor(b.cursor() + static_cast<uint64_t>(n));
  return static_cast<uint32_t>(n);
}

uint64_t CheckedSize(int64_t n, uint64_t unit) {
  if (n < 0) throw MalformedRequest("negative size");
  const uint64_t limit = MaxMessageSize();
  if (unit != 0 && static_cast<uint64_t>(n) > limit / unit) {
    throw MalformedRequest("size beyond what a message can hold");
  }
  return static_cast<uint64_t>(n) * unit;
}

namespace {
uint64_t Owner(const Session& s) { return static_cast<uint64_t>(s.conn.fd); }
}  // namespace

TMBEnvironment* OwnEnvironment(const Session& s, int32_t id) {
  return GetOwnedEnvironmentById(id, Owner(s));
}

TMBFile* OwnFile(const Session& s, int32_t id) { return GetOwnedFileById(id, Owner(s)); }

TMBSqlHandle* OwnSqlHandle(const Session& s, int32_t id) {
  return GetOwnedSQLSessionById(id, Owner(s));
}

}  // namespace tmb
