// The C interface of environments, files and SQL handles: each call finds
// the engine object behind its handle, runs it with exceptions kept inside,
// records the file's error word and writes the trace line.
#include <cstring>

#include "environment.h"
#include "guard.h"
#include "object_table.h"
#include "open_file.h"
#include "request_scope.h"
#include "settings.h"
#include "sql_meta.h"
#include "tmbio/tmbio.h"

using tmbio::Environment;
using tmbio::Guard;
using tmbio::OpenFile;
using tmbio::SqlSession;

namespace {

void ReleaseEnvironment(void* object) {
  delete Environment::Of(static_cast<TMBEnvironment*>(object));
}

void ReleaseFile(void* object) { delete OpenFile::Of(static_cast<TMBFile*>(object)); }

void ReleaseSqlHandle(void* object) { delete SqlSession::Of(static_cast<TMBSqlHandle*>(object)); }

int32_t IdOf(const TMBFile* file) { return file == nullptr ? 0 : file->id; }

// Runs `body` on the open file behind `file`; `bad` is the result for a
// handle that is none.
template <typename F>
int32_t OnFile(TMBFile* file, int32_t bad, F body) {
  OpenFile* f = OpenFile::Of(file);
  if (f == nullptr) return bad;
  int32_t r = Guard([&]() -> int32_t { return body(f); });
  tmbio::request::CallDone(f);
  f->set_result(r);
  return r;
}

template <typename F>
int32_t OnEnv(TMBEnvironment* env, F body) {
  Environment* e = Environment::Of(env);
  if (e == nullptr) return TMBIO_INVALID;
  return Guard([&]() -> int32_t { return body(e); });
}

}  // namespace

#define TMBIO_TRACE(...) \
  do {                              \
    if (tmbio::Tracing()) tmbio::Trace(__VA_ARGS__); \
  } while (0)

extern "C" {

// ---- Environments ------------------------------------------------------------

TMBIO_API TMBEnvironment* QDK_AllocEnv(void) noexcept {
  TMBEnvironment* pub = Guard([]() -> TMBEnvironment* {
    auto* env = new Environment;
    if (!tmbio::Objects().AddEnvironment(env->pub(), ReleaseEnvironment)) {
      delete env;
      return nullptr;
    }
    return env->pub();
  });
  TMBIO_TRACE("QDK_AllocEnv() = %d", pub == nullptr ? 0 : pub->id);
  return pub;
}

TMBIO_API int32_t QDK_DeAllocEnv(TMBEnvironment* env) noexcept {
  // Files (their server cells freed), SQL handles, then the environment,
  // exactly as a socket close releases them. Found by address, so that an
  // environment already released is not read.
  const int32_t r = env != nullptr && tmbio::Objects().ReleaseEnvironment(env) ? 0 : TMBIO_INVALID;
  TMBIO_TRACE("QDK_DeAllocEnv(%p) = %d", static_cast<void*>(env), r);
  return r;
}

TMBIO_API int32_t QDK_BeginTX(TMBEnvironment* env) noexcept {
  int32_t r = OnEnv(env, [](Environment* e) { return e->BeginTx(); });
  TMBIO_TRACE("QDK_BeginTX(%d) = %d", env == nullptr ? 0 : env->id, r);
  return r;
}

TMBIO_API int32_t QDK_CommitTX(TMBEnvironment* env) noexcept {
  int32_t r = OnEnv(env, [](Environment* e) { return e->CommitTx(); });
  TMBIO_TRACE("QDK_CommitTX(%d) = %d", env == nullptr ? 0 : env->id, r);
  return r;
}

TMBIO_API int32_t QDK_RollbackTX(TMBEnvironment* env) noexcept {
  int32_t r = OnEnv(env, [](Environment* e) { return e->RollbackTx(); });
  TMBIO_TRACE("QDK_RollbackTX(%d) = %d", env == nullptr ? 0 : env->id, r);
  return r;
}

TMBIO_API int32_t QDLogon(TMBEnvironment* env, const char* text1, const char* text2,
                          const char* text3, const char* text4, int32_t* value, const char* text5,
                          const uint8_t** blob, int32_t* blob_length, int32_t* result,
                          char* message) noexcept {
  (void)value;  // the client's protocol level: kept as it came
  int32_t r = OnEnv(env, [&](Environment* e) {
    return e->Logon(text1, text2, text3, text4, text5, blob, blob_length, result, message);
  });
  TMBIO_TRACE("QDLogon(%d, %s) = %d", env == nullptr ? 0 : env->id, text1 == nullptr ? "-" : text1, r);
  return r;
}

TMBIO_API int32_t QDLogoff(TMBEnvironment* env, const char* text1, const char* text2,
                           const char* text3, const char* text4, int32_t* value, int32_t* out,
                           char* message) noexcept {
  (void)text1, (void)text2, (void)text3, (void)text4, (void)value;
  int32_t r = OnEnv(env, [&](Environment* e) { return e->Logoff(out, message); });
  TMBIO_TRACE("QDLogoff(%d) = %d", env == nullptr ? 0 : env->id, r);
  return r;
}

// ---- Files -----------------------------------------------------------------------

TMBIO_API TMBFile* QDK_OpenExt(TMBEnvironment* env, const char* name, const char* options,
                               int32_t options_length, int16_t mode, int32_t* error) noexcept {
  // The options text is accepted and not used.
  (void)options, (void)options_length;
  int32_t status = 0;
  TMBFile* file = nullptr;
  Environment* e = Environment::Of(env);
  if (e == nullptr) {
    status = TMBIO_INVALID;
  } else {
    status = Guard([&]() -> int32_t {
      OpenFile* f = nullptr;
      int32_t s = OpenFile::Open(e, name, mode, &f);
      if (s < 0) return s;
      if (!tmbio::Objects().AddFile(f->pub(), env, ReleaseFile)) {
        delete f;
        return TMBIO_NO_MEMORY;
      }
      file = f->pub();
      return 0;
    });
  }
  if (error != nullptr) *error = -status;
  TMBIO_TRACE("QDK_OpenExt(%d, %s, %d) = %d, error %d", env == nullptr ? 0 : env->id,
              name == nullptr ? "-" : name, mode, file == nullptr ? -1 : file->id, -status);
  return file;
}

TMBIO_API int32_t QDK_close(TMBFile* file) noexcept {
  // Looked up by address before it is read: a file closed twice, or taken
  // by a socket close, is no longer there and is left alone.
  int32_t r = TMBIO_INVALID;
  int32_t id = 0;
  if (file != nullptr && tmbio::Objects().RemoveFile(file)) {
    id = file->id;
    delete OpenFile::Of(file);
    r = 0;
  }
  TMBIO_TRACE("QDK_close(%d) = %d", id, r);
  return r;
}

TMBIO_API int32_t QDK_dict(TMBFile* file, int32_t index, void* buffer, int32_t size) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->Dict(index, buffer, size); });
  TMBIO_TRACE("QDK_dict(%d, %d, %d) = %d", IdOf(file), index, size, r);
  return r;
}

TMBIO_API int32_t QDK_dict_add(TMBFile* file, int16_t index, const void* data,
                               int16_t length) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->DictAdd(index, data, length); });
  TMBIO_TRACE("QDK_dict_add(%d, %d, %d) = %d", IdOf(file), index, length, r);
  return r;
}

TMBIO_API int32_t QDK_geterrno(TMBFile* file) noexcept {
  OpenFile* f = OpenFile::Of(file);
  int32_t r = f == nullptr ? TMBIO_INVALID : f->error_word();
  TMBIO_TRACE("QDK_geterrno(%d) = %d", IdOf(file), r);
  return r;
}

// ---- Reads and positions ----------------------------------------------------------------

TMBIO_API int32_t QDK_read(TMBFile* file, void* buffer, int32_t size, int32_t mode) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) { return f->Read(buffer, size, mode); });
  TMBIO_TRACE("QDK_read(%d, %d, %d) = %d", IdOf(file), size, mode, r);
  return r;
}

TMBIO_API int32_t QDK_read_FIRST(TMBFile* file, void* record, int32_t size, int32_t mode,
                                 uint8_t* key, uint8_t* key_length, int32_t* value,
                                 const uint8_t* bound, uint8_t bound_length, const void* extra,
                                 int32_t extra_length) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) {
    return f->ReadFirst(record, size, mode, key, key_length, value, bound, bound_length, extra,
                        extra_length);
  });
  TMBIO_TRACE("QDK_read_FIRST(%d, %d, %d, bound %d, extra %d) = %d", IdOf(file), size, mode,
              bound_length, extra_length, r);
  return r;
}

TMBIO_API int32_t QDK_RestrictedRead(TMBFile* file, void* record, int32_t size, int32_t mode,
                                     uint8_t* key, uint8_t* key_length, int32_t* value,
                                     const uint8_t* bound, uint8_t bound_length,
                                     int32_t option) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) {
    return f->RestrictedRead(record, size, mode, key, key_length, value, bound, bound_length, option);
  });
  TMBIO_TRACE("QDK_RestrictedRead(%d, %d, %d, bound %d, %d) = %d", IdOf(file), size, mode,
              bound_length, option, r);
  return r;
}

TMBIO_API int32_t QDK_ExtReadDirect(TMBFile* file, void* buffer, int32_t size, int32_t option1,
                                    int32_t option2, int32_t option3) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) {
    return f->ReadDirect(buffer, size, option1, option2, option3);
  });
  TMBIO_TRACE("QDK_ExtReadDirect(%d, %d, %d, %d, %d) = %d", IdOf(file), size, option1, option2,
              option3, r);
  return r;
}

TMBIO_API int32_t QDK_seek(TMBFile* file, const uint8_t* key, int32_t length, int32_t mode) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) { return f->Seek(key, length, mode); });
  TMBIO_TRACE("QDK_seek(%d, %d, %d) = %d", IdOf(file), length, mode, r);
  return r;
}

TMBIO_API int32_t QDK_getpos(TMBFile* file) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [](OpenFile* f) { return f->GetPos(); });
  TMBIO_TRACE("QDK_getpos(%d) = %d", IdOf(file), r);
  return r;
}

TMBIO_API int32_t QDK_setpos(TMBFile* file, int32_t position) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) { return f->SetPos(position); });
  TMBIO_TRACE("QDK_setpos(%d, %d) = %d", IdOf(file), position, r);
  return r;
}

TMBIO_API int32_t QDK_GetKey(TMBFile* file, uint8_t* key, int32_t size, int32_t mode) noexcept {
  int32_t r = OnFile(file, TMBIO_END, [&](OpenFile* f) { return f->GetKey(key, size, mode); });
  TMBIO_TRACE("QDK_GetKey(%d, %d, %d) = %d", IdOf(file), size, mode, r);
  return r;
}

TMBIO_API int32_t QDK_keyadjust(TMBFile* file, uint8_t* key, int32_t length, int32_t mode) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->KeyAdjust(key, length, mode); });
  TMBIO_TRACE("QDK_keyadjust(%d, %d, %d) = %d", IdOf(file), length, mode, r);
  return r;
}

TMBIO_API int32_t QDK_RawReadMode(TMBFile* file, int32_t on) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->RawReadMode(on); });
  TMBIO_TRACE("QDK_RawReadMode(%d, %d) = %d", IdOf(file), on, r);
  return r;
}

// ---- Writes ------------------------------------------------------------------------------

TMBIO_API int32_t QDK_ExtWrite(TMBFile* file, const void* record, int32_t record_length,
                               const uint8_t* key, int16_t key_length, int32_t option1,
                               int32_t option2) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) {
    return f->Write(record, record_length, key, key_length, option1, option2);
  });
  TMBIO_TRACE("QDK_ExtWrite(%d, %d, key %d, %d, %d) = %d", IdOf(file), record_length, key_length,
              option1, option2, r);
  return r;
}

TMBIO_API int32_t QDK_remove(TMBFile* file, const uint8_t* key, int16_t length) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->Remove(key, length); });
  TMBIO_TRACE("QDK_remove(%d, %d) = %d", IdOf(file), length, r);
  return r;
}

TMBIO_API int32_t QDK_UnlockRecord(TMBFile* file, int32_t which) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->Unlock(which); });
  TMBIO_TRACE("QDK_UnlockRecord(%d, %d) = %d", IdOf(file), which, r);
  return r;
}

TMBIO_API int32_t QDK_PutRestrictInfo(TMBFile* file, int32_t selector,
                                      const TMBRestriction* restriction) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID,
                     [&](OpenFile* f) { return f->PutRestriction(selector, restriction); });
  TMBIO_TRACE("QDK_PutRestrictInfo(%d, %d) = %d", IdOf(file), selector, r);
  return r;
}

// ---- SQL metadata ---------------------------------------------------------------------------

TMBIO_API TMBSqlHandle* QDRequestHandle(TMBEnvironment* env, int32_t* error) noexcept {
  int32_t word = -TMBIO_INVALID;
  TMBSqlHandle* handle = nullptr;
  Environment* e = Environment::Of(env);
  if (e != nullptr) {
    int32_t status = Guard([&]() -> int32_t {
      SqlSession* s = SqlSession::Create(e, &word);
      if (s == nullptr) return 0;
      if (!tmbio::Objects().AddSqlHandle(s->pub(), env, ReleaseSqlHandle)) {
        delete s;
        return TMBIO_NO_MEMORY;
      }
      handle = s->pub();
      return 0;
    });
    if (status < 0) word = -status;
  }
  if (error != nullptr) *error = handle == nullptr ? word : 0;
  TMBIO_TRACE("QDRequestHandle(%d) = %d, error %d", env == nullptr ? 0 : env->id,
              handle == nullptr ? 0 : handle->id, handle == nullptr ? word : 0);
  return handle;
}

TMBIO_API int32_t QDFreeHandle(TMBSqlHandle* handle) noexcept {
  int32_t r = TMBIO_INVALID;
  int32_t id = 0;
  if (handle != nullptr && tmbio::Objects().RemoveSqlHandle(handle)) {
    id = handle->id;
    delete SqlSession::Of(handle);
    r = 0;
  }
  TMBIO_TRACE("QDFreeHandle(%d) = %d", id, r);
  return r;
}

TMBIO_API int32_t QDGetTables(TMBSqlHandle* handle, const char* text1, int32_t length1,
                              const char* text2, int32_t length2, const char* text3,
                              int32_t length3, int32_t kind, int32_t* count1,
                              int32_t* count2) noexcept {
  // Catalog and schema are not filtered on: an environment has one data
  // directory, and its files have no schema.
  (void)text1, (void)length1, (void)text2, (void)length2;
  SqlSession* s = SqlSession::Of(handle);
  int32_t r = s == nullptr ? TMBIO_INVALID : Guard([&]() -> int32_t {
    return s->GetTables(text3, length3, kind, count1, count2);
  });
  TMBIO_TRACE("QDGetTables(%d, kind %d) = %d", handle == nullptr ? 0 : handle->id, kind, r);
  return r;
}

TMBIO_API int32_t QDGetColumns(TMBSqlHandle* handle, const char* text1, const char* text2,
                               const char* text3, const char* text4, int32_t* count) noexcept {
  (void)text1, (void)text2;
  SqlSession* s = SqlSession::Of(handle);
  int32_t r = s == nullptr ? TMBIO_INVALID
                           : Guard([&]() -> int32_t { return s->GetColumns(text3, text4, count); });
  TMBIO_TRACE("QDGetColumns(%d) = %d", handle == nullptr ? 0 : handle->id, r);
  return r;
}

TMBIO_API int32_t QDFetchTable(TMBSqlHandle* handle, const char* name, int32_t name_length,
                               int32_t count, TMBTableRecord* records) noexcept {
  SqlSession* s = SqlSession::Of(handle);
  int32_t r = s == nullptr ? TMBIO_INVALID : Guard([&]() -> int32_t {
    return s->FetchTable(name, name_length, count, records);
  });
  TMBIO_TRACE("QDFetchTable(%d, %d) = %d", handle == nullptr ? 0 : handle->id, count, r);
  return r;
}

TMBIO_API int32_t QDFetchColumn(TMBSqlHandle* handle, int32_t count,
                                TMBColumnRecord* records) noexcept {
  SqlSession* s = SqlSession::Of(handle);
  int32_t r = s == nullptr ? TMBIO_INVALID
                           : Guard([&]() -> int32_t { return s->FetchColumn(count, records); });
  TMBIO_TRACE("QDFetchColumn(%d, %d) = %d", handle == nullptr ? 0 : handle->id, count, r);
  return r;
}

TMBIO_API int32_t QDDescribeFile(TMBFile* file, TMBFileDescription* description) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) { return f->Describe(description); });
  TMBIO_TRACE("QDDescribeFile(%d) = %d", IdOf(file), r);
  return r;
}

TMBIO_API int32_t QDDescribeIndex(TMBFile* file, int32_t start, int32_t* end,
                                  int32_t* segment_count, TMBIndexKey* keys,
                                  TMBIndexSegment* segments) noexcept {
  int32_t r = OnFile(file, TMBIO_INVALID, [&](OpenFile* f) {
    return f->DescribeIndex(start, end, segment_count, keys, segments);
  });
  TMBIO_TRACE("QDDescribeIndex(%d, %d) = %d", IdOf(file), start, r);
  return r;
}

}  // extern "C"
