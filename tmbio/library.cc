// The calls of the C interface that act on the library as a whole: id
// lookups, settings (which dispatch on the handle's kind), the socket-close
// release and the status counts.
#include "environment.h"
#include "group_commit.h"
#include "guard.h"
#include "object_table.h"
#include "open_file.h"
#include "request_scope.h"
#include "settings.h"
#include "tmbio/tmbio.h"

using tmbio::Guard;

extern "C" {

TMBIO_API TMBEnvironment* GetLocalEnvironmentById(int32_t id) noexcept {
  return tmbio::Objects().FindEnvironment(id);
}

TMBIO_API TMBFile* GetLocalFileById(int32_t id) noexcept { return tmbio::Objects().FindFile(id); }

TMBIO_API TMBSqlHandle* GetLocalSQLSessionById(int32_t id) noexcept {
  return tmbio::Objects().FindSqlHandle(id);
}

TMBIO_API TMBEnvironment* GetOwnedEnvironmentById(int32_t id, uint64_t socket) noexcept {
  return tmbio::Objects().FindOwnedEnvironment(id, socket);
}

TMBIO_API TMBFile* GetOwnedFileById(int32_t id, uint64_t socket) noexcept {
  return tmbio::Objects().FindOwnedFile(id, socket);
}

TMBIO_API TMBSqlHandle* GetOwnedSQLSessionById(int32_t id, uint64_t socket) noexcept {
  return tmbio::Objects().FindOwnedSqlHandle(id, socket);
}

TMBIO_API intptr_t QDGetEnvMode(void* handle, int32_t mode) noexcept {
  intptr_t r = Guard([&]() -> intptr_t {
    if (handle == nullptr) return tmbio::GetGlobalMode(mode);
    // Every object the library hands out carries its kind in its second word.
    const uint32_t type = static_cast<const TMBSqlHandle*>(handle)->object_type;
    if (type == TMBIO_OBJECT_ENVIRONMENT) {
      tmbio::Environment* env = tmbio::Environment::Of(static_cast<TMBEnvironment*>(handle));
      return env == nullptr ? TMBIO_UNKNOWN_MODE : env->GetMode(mode);
    }
    if (type == TMBIO_OBJECT_FILE) {
      tmbio::OpenFile* f = tmbio::OpenFile::Of(static_cast<TMBFile*>(handle));
      return f == nullptr ? TMBIO_UNKNOWN_MODE : f->GetMode(mode);
    }
    return TMBIO_UNKNOWN_MODE;
  });
  if (tmbio::Tracing()) tmbio::Trace("QDGetEnvMode(%p, %d) = %ld", handle, mode, static_cast<long>(r));
  return r;
}

TMBIO_API intptr_t QDSetEnvMode(void* handle, int32_t mode, intptr_t value) noexcept {
  intptr_t r = Guard([&]() -> intptr_t {
    if (handle == nullptr) return tmbio::SetGlobalMode(mode, value);
    const uint32_t type = static_cast<const TMBSqlHandle*>(handle)->object_type;
    if (type == TMBIO_OBJECT_ENVIRONMENT) {
      tmbio::Environment* env = tmbio::Environment::Of(static_cast<TMBEnvironment*>(handle));
      return env == nullptr ? TMBIO_UNKNOWN_MODE : env->SetMode(mode, value);
    }
    if (type == TMBIO_OBJECT_FILE) {
      tmbio::OpenFile* f = tmbio::OpenFile::Of(static_cast<TMBFile*>(handle));
      return f == nullptr ? TMBIO_UNKNOWN_MODE : f->SetMode(mode, value);
    }
    return TMBIO_UNKNOWN_MODE;
  });
  if (tmbio::Tracing()) {
    tmbio::Trace("QDSetEnvMode(%p, %d, %ld) = %ld", handle, mode, static_cast<long>(value),
                 static_cast<long>(r));
  }
  return r;
}

TMBIO_API void QD_BeginRequest(void) noexcept { tmbio::request::Begin(); }

TMBIO_API void QD_EndRequest(void) noexcept { tmbio::request::End(); }

TMBIO_API void QD_SocketClosed(uint64_t socket) noexcept {
  if (tmbio::Tracing()) tmbio::Trace("QD_SocketClosed(%llu)", static_cast<unsigned long long>(socket));
  tmbio::Objects().ReleaseOwnedBy(socket);
}

TMBIO_API int32_t GetNumConnections(void) noexcept { return tmbio::Objects().environment_count(); }

TMBIO_API int32_t GetNumOpenFiles(void) noexcept { return tmbio::Objects().file_count(); }

TMBIO_API int32_t GetNumOwnedEnvironments(uint64_t socket) noexcept {
  return tmbio::Objects().environment_count_of(socket);
}

TMBIO_API int32_t GetNumOwnedFiles(uint64_t socket) noexcept {
  return tmbio::Objects().file_count_of(socket);
}

TMBIO_API int32_t GetNumOwnedTransactions(uint64_t socket) noexcept {
  // The transaction state is read without its owner's cooperation: only the
  // thread that serves `socket`, which alone begins and ends them, gets an
  // answer it can trust.
  return tmbio::Environment::TransactionsOf(socket);
}

TMBIO_API int64_t GetNumLogSyncs(void) noexcept { return tmbio::LogSyncCount(); }

}  // extern "C"
