#include "handlers/environment.h"

#include <algorithm>
#include <cstring>

#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "config/catalogs.h"
#include "config/settings.h"
#include "platform/ascii_case.h"
#include "secure/rights.h"
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

// The count lives in library memory; it is trusted no further than the table.
int32_t CatalogCount(const TMBEnvironment& env) {
  return std::clamp(env.catalog_count, 0, TMBIO_MAX_CATALOGS);
}

const TMBCatalogEntry* FindCatalog(const TMBEnvironment& env, const char* name) {
  const int32_t count = CatalogCount(env);
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

std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// The environment's catalogs: the table filled from the registry when it
// was allocated. A client cannot change it.
std::vector<CatalogDirectory> CatalogDirectories(const TMBEnvironment& env) {
  std::vector<CatalogDirectory> catalogs;
  const int32_t count = CatalogCount(env);
  for (int32_t i = 0; i < count; ++i) {
    const TMBCatalogEntry& entry = env.catalogs[i];
    catalogs.push_back({FieldText(entry.name, sizeof entry.name),
                        FieldText(entry.text1, sizeof entry.text1)});
  }
  return catalogs;
}

bool MayReadDirectory(const Session& s, const TMBEnvironment& env, const std::string& directory) {
  const std::string resolved = ResolvedDirectory(directory);
  return MayRead(s.rights, CatalogsAt(resolved, CatalogDirectories(env)));
}

}  // namespace

OpenAccess DecideOpen(const Session& s, TMBEnvironment* env, const char* name, int32_t mode) {
  OpenAccess access;
  if (!AccessEnforced() || env == nullptr) return access;
  // The library's answer is a text of this thread's, good until its next call.
  const auto dir = reinterpret_cast<const char*>(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR));
  const std::string data_dir = dir != nullptr ? dir : "";
  const std::string holding = HoldingDirectory(LibraryPath(data_dir, name));
  access.catalogs = CatalogsAt(holding, CatalogDirectories(*env));
  access.allowed = OpenNeedsWrite(mode) ? MayWrite(s.rights, access.catalogs)
                                        : MayRead(s.rights, access.catalogs);
  return access;
}

void NoteOpened(Session& s, const TMBFile& file, OpenAccess access) {
  if (!AccessEnforced()) return;
  std::vector<OpenedFile>& files = s.rights.files;
  // Files closed since, by the client or with their environment, go here, so
  // that the list holds no more than the files open and ids never repeat in it.
  std::erase_if(files, [&](const OpenedFile& f) {
    return f.id == file.id || OwnFile(s, f.id) == nullptr;
  });
  files.push_back({file.id, std::move(access.catalogs)});
}

bool MayWriteFile(const Session& s, const TMBFile* file) {
  if (!AccessEnforced() || file == nullptr) return true;
  for (const OpenedFile& f : s.rights.files) {
    if (f.id == file->id) return MayWrite(s.rights, f.catalogs);
  }
  return false;  // every open is noted while enforced, so this is not reached
}

bool MayUseDataDirectory(const Session& s, const TMBEnvironment* env, const char* directory) {
  if (!AccessEnforced() || env == nullptr) return true;
  return directory[0] != '\0' && MayReadDirectory(s, *env, directory);
}

bool MaySelectCatalog(const Session& s, const TMBEnvironment* env, const char* name) {
  if (!AccessEnforced() || env == nullptr) return true;
  const int32_t count = CatalogCount(*env);
  for (int32_t i = 0; i < count; ++i) {
    // The first whose whole name matches, as the library selects.
    const TMBCatalogEntry& entry = env->catalogs[i];
    if (platform::EqualsIgnoringCase(FieldText(entry.name, sizeof entry.name), name)) {
      return MayReadDirectory(s, *env, FieldText(entry.text1, sizeof entry.text1));
    }
  }
  return true;
}

void AllocEnv(Session& s) {
  // Each environment costs hundreds of kilobytes; the library's own count of
  // what this socket owns already leaves out those freed by DeAllocEnv.
  const uint64_t socket = static_cast<uint64_t>(s.conn.fd);
  TMBEnvironment* env = nullptr;
  if (GetNumOwnedEnvironments(socket) < ReadEnvironmentsPerConnection()) env = QDK_AllocEnv();
  if (env != nullptr) {
    // Owned before anything else can fail, so that a disconnect frees it.
    TMBSetEnvironmentOwner(env, socket);
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
