#include "handlers/environment.h"

#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "config/catalogs.h"
#include "platform/ascii_case.h"
#include "server/session.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

constexpr size_t kCatalogNameSize = 256;

// An id this connection does not own is passed on as null, which the library
// answers with its status for an invalid handle.
void Transaction(Session& s, int32_t (*call)(TMBEnvironment*)) {
  const int32_t id = GetInt32(s.buffer);
  const int32_t status = call(OwnEnvironment(s, id));
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

const TMBCatalogEntry* FindCatalog(const TMBEnvironment& env, const char* name) {
  // The count lives in library memory; it is trusted no further than the table.
  int32_t count = env.catalog_count;
  if (count < 0) count = 0;
  if (count > TMBIO_MAX_CATALOGS) count = TMBIO_MAX_CATALOGS;
  const bool want_default = platform::EqualsIgnoringCase(name, "default");
  for (int32_t i = 0; i < count; ++i) {
    const TMBCatalogEntry& entry = env.catalogs[i];
    if (want_default ? entry.is_default != 0
                     : platform::EqualsIgnoringCase(entry.name, name, sizeof entry.name)) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

void AllocEnv(Session& s) {
  TMBEnvironment* env = QDK_AllocEnv();
  if (env != nullptr) {
    // Owned before anything else can fail, so that a disconnect frees it.
    TMBSetEnvironmentOwner(env, static_cast<uint64_t>(s.conn.fd));
    ReadCatalogs(env);
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, env != nullptr ? env->id : 0);
}

void DeAllocEnv(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  TMBEnvironment* env = OwnEnvironment(s, id);
  if (env != nullptr) QDK_DeAllocEnv(env);
  s.buffer.BeginReply();
  PutInt32(s.buffer, 0);
}

void GetCatalog(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  char name[kCatalogNameSize];
  GetText(s.buffer, name);
  const TMBEnvironment* env = OwnEnvironment(s, id);
  const TMBCatalogEntry* entry = env != nullptr ? FindCatalog(*env, name) : nullptr;
  s.buffer.BeginReply();
  if (entry == nullptr) {
    PutInt32(s.buffer, 0);
    for (int i = 0; i < 4; ++i) PutText(s.buffer, "");
    return;
  }
  PutInt32(s.buffer, 1);
  PutFieldText(s.buffer, entry->text1, sizeof entry->text1);
  PutFieldText(s.buffer, entry->text2, sizeof entry->text2);
  PutFieldText(s.buffer, entry->text3, sizeof entry->text3);
  PutFieldText(s.buffer, env->view_library, sizeof env->view_library);
}

void BeginTX(Session& s) { Transaction(s, QDK_BeginTX); }
void CommitTX(Session& s) { Transaction(s, QDK_CommitTX); }
void RollbackTX(Session& s) { Transaction(s, QDK_RollbackTX); }

}  // namespace tmb
