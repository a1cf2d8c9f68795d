#include "handlers/ownership.h"

#include "server/session.h"

namespace tmb {
namespace {

bool Owns(const Session& s, const TMBEnvironment* env) {
  return env != nullptr && TMBEnvironmentOwner(env) == static_cast<uint64_t>(s.conn.fd);
}

}  // namespace

TMBEnvironment* OwnEnvironment(const Session& s, int32_t id) {
  TMBEnvironment* env = GetLocalEnvironmentById(id);
  return Owns(s, env) ? env : nullptr;
}

TMBFile* OwnFile(const Session& s, int32_t id) {
  TMBFile* file = GetLocalFileById(id);
  return file != nullptr && Owns(s, file->environment) ? file : nullptr;
}

TMBSqlHandle* OwnSqlHandle(const Session& s, int32_t id) {
  TMBSqlHandle* handle = GetLocalSQLSessionById(id);
  return handle != nullptr && Owns(s, handle->environment) ? handle : nullptr;
}

}  // namespace tmb
