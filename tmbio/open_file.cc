// An open file's life (open, close), its dictionary, settings and
// descriptions. Reads are in open_file_reads.cc, writes in
// open_file_writes.cc.
#include "open_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "environment.h"
#include "key_image.h"
#include "locks.h"
#include "users.h"
#include "request_scope.h"

namespace tmbio {

namespace {

// An environment may hold this many open files.
constexpr int32_t kMaxFilesPerEnvironment = 1024;
constexpr size_t kMaxName = 4096;

bool EndsWithTmb(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return tail == ".tmb";
}

}  // namespace

// ---- Opening and closing ---------------------------------------------------

OpenFile::OpenFile(Environment* env, std::shared_ptr<Connection> conn, bool read_only,
                   bool exclusive)
    : env_(env),
      conn_(std::move(conn)),
      schema_(new Schema(conn_->definition())),
      read_only_(read_only || conn_->read_only()),
      exclusive_(exclusive),
      restriction_(schema_->record_length() + schema_->variable_length()) {
  pub_.object_type = TMBIO_OBJECT_FILE;
  pub_.environment = env->pub();
  pub_.kind = schema_->def().kind;
  pub_.current_key = 1;
  pub_.key_count = schema_->key_count();
  pub_.segment_total = schema_->segment_total();
  pub_.keys = schema_->pub_keys();
  pub_.segments = schema_->pub_segments();
  pub_.engine = this;
  const int n = schema_->key_count();
  insert_sql_ = "INSERT INTO records(data";
  stored_keys_sql_ = "SELECT ";
  std::string values = "?1";
  for (int k = 1; k <= n; ++k) {
    std::string col = "k" + std::to_string(k);
    insert_sql_ += ", " + col;
    values += ", ?" + std::to_string(k + 1);
    stored_keys_sql_ += (k > 1 ? ", " : "") + col;
  }
  insert_sql_ += ") VALUES(" + values + ")";
  stored_keys_sql_ += " FROM records WHERE pos = ?1";
  conn_->AddCursor(&cursor_);
}

OpenFile::~OpenFile() {
  request::Forget(this);
  conn_->RemoveCursor(&cursor_);
  for (auto& row : statements_) {
    for (sqlite3_stmt* s : row) sqlite3_finalize(s);
  }
  locks::UnlockVia(this);
  RemoveHandle(&conn_->shared(), exclusive_);
  env_->RemoveFile(this);
  conn_.reset();
  env_->DropIdleConnections();
  pub_.engine = nullptr;
  pub_.object_type = 0;
}

int32_t OpenFile::Open(Environment* env, const char* name, int32_t mode, OpenFile** out) {
  if (name == nullptr || mode < 0 || (mode & ~(TMBIO_OPEN_READ_ONLY | TMBIO_OPEN_EXCLUSIVE))) {
    return TMBIO_INVALID;
  }
  std::string file(name, strnlen(name, kMaxName + 1));
  if (file.empty() || file.size() > kMaxName) return TMBIO_INVALID;
  const std::string dir = env->DataDir();
  if (file[0] != '/') file = dir + "/" + file;
  if (!EndsWithTmb(file)) file += ".tmb";
  // Opened by the name the guard checked, with every link resolved, so that
  // what was checked is what is opened.
  std::string real;
  int32_t status = env->MayUseFile(file, &real);
  if (status != 0) return status;
  file.swap(real);
  if (env->open_files() >= kMaxFilesPerEnvironment) return TMBIO_LIMIT;
  std::shared_ptr<Connection> conn;
  status = env->Connect(file, &conn);
  if (status != 0) return status;
  const bool exclusive = (mode & TMBIO_OPEN_EXCLUSIVE) != 0;
  status = AddHandle(&conn->shared(), exclusive);
  if (status != 0) {
    conn.reset();
    env->DropIdleConnections();
    return status;
  }
  const bool read_only = (mode & TMBIO_OPEN_READ_ONLY) != 0 || env->read_only();
  auto* f = new OpenFile(env, std::move(conn), read_only, exclusive);
  env->AddFile(f);
  *out = f;
  return 0;
}

OpenFile* OpenFile::Of(TMBFile* file) {
  if (file == nullptr || file->object_type != TMBIO_OBJECT_FILE) return nullptr;
  return static_cast<OpenFile*>(file->engine);
}

// ---- Dictionary ----------------------------------------------------------------------

int32_t OpenFile::Dict(int32_t index, void* buffer, int32_t size) {
  if (index < 0 || size < 0 || (size > 0 && buffer == nullptr)) return TMBIO_INVALID;
  int32_t status = 0;
  sqlite3_stmt* s = conn_->Statement("SELECT data FROM dictionary WHERE entry = ?1", &status);
  if (s == nullptr) return status;
  StatementUse use(s);
  sqlite3_bind_int(s, 1, index);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return TMBIO_END;
  if (rc != SQLITE_ROW) return StatusOf(rc);
  const void* data = sqlite3_column_blob(s, 0);
  const int32_t length = sqlite3_column_bytes(s, 0);
  if (length > size) {
    if (size > 0) memcpy(buffer, data, static_cast<size_t>(size));
    return TMBIO_FILLED;
  }
  if (length > 0) memcpy(buffer, data, static_cast<size_t>(length));
  return length;
}

int32_t OpenFile::DictAdd(int32_t index, const void* data, int32_t length) {
  if (index < 0 || (length > 0 && data == nullptr)) return TMBIO_INVALID;
  if (length < 0) return TMBIO_BAD_LENGTH;
  if (read_only_) return TMBIO_DENIED;
  auto add = [&](Connection& c) -> int32_t {
    int32_t st = 0;
    sqlite3_stmt* s =
        c.Statement("INSERT OR REPLACE INTO dictionary(entry, data) VALUES(?1, ?2)", &st);
    if (s == nullptr) return st;
    StatementUse use(s);
    sqlite3_bind_int(s, 1, index);
    sqlite3_bind_blob(s, 2, length > 0 ? data : "", length, SQLITE_STATIC);
    int rc = sqlite3_step(s);
    return rc == SQLITE_DONE ? 0 : StatusOf(rc);
  };
  return conn_->Write(env_->in_tx(), WriteBody(add));
}

// ---- Settings and descriptions ---------------------------------------------------------

int64_t OpenFile::CountRows(const char* sql, int32_t* status) {
  sqlite3_stmt* s = conn_->Statement(sql, status);
  if (s == nullptr) return -1;
  StatementUse use(s);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW) {
    *status = StatusOf(rc);
    return -1;
  }
  return sqlite3_column_int64(s, 0);
}

intptr_t OpenFile::GetMode(int32_t mode) {
  const int32_t record = schema_->record_length();
  const int32_t variable = schema_->variable_length();
  switch (mode) {
    case TMBIO_FILE_CELL:
      return reinterpret_cast<intptr_t>(&pub_.server_cell);
    case TMBIO_FILE_KEY_ROOM:
      return schema_->max_key_length();
    case TMBIO_FILE_SLOT_KEY_ROOM:
      return current().value_length;
    case TMBIO_FILE_BLOCK_RECORDS: {
      int64_t per = 65536 / (static_cast<int64_t>(record) + variable + current().value_length + 3);
      return std::max<int64_t>(1, std::min<int64_t>(256, per));
    }
    case TMBIO_FILE_RECORD_BASE:
      return record;
    case TMBIO_FILE_LAST_KEY_LENGTH:
      return last_key_length_;
    case TMBIO_FILE_LAST_KEY:
      return reinterpret_cast<intptr_t>(last_key_);
    case TMBIO_FILE_RECORD_EXTRA:
      return variable;
    case TMBIO_FILE_NO_BLOCK_READS:
      return variable > 0 ? 1 : 0;
    case TMBIO_FILE_KEY_COUNT:
      return schema_->key_count();
    case TMBIO_FILE_FLAGS:
      return (variable > 0 ? TMBIO_FILE_FLAG_VARIABLE : 0) |
             (read_only_ ? TMBIO_FILE_FLAG_READ_ONLY : 0) |
             (exclusive_ ? TMBIO_FILE_FLAG_EXCLUSIVE : 0);
    case TMBIO_FILE_CURRENT_KEY:
      return current_key_;
    case TMBIO_FILE_RAW_MODE:
      return raw_ ? 1 : 0;
    case TMBIO_FILE_RECORDS: {
      StopCursor();
      int32_t status = 0;
      int64_t n = CountRows("SELECT count(*) FROM records", &status);
      return n < 0 ? status : static_cast<intptr_t>(n);
    }
    case TMBIO_FILE_KIND:
      return schema_->def().kind;
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

intptr_t OpenFile::SetMode(int32_t mode, intptr_t value) {
  switch (mode) {
    case TMBIO_FILE_CELL: {
      // The server's cell is never written from a client's number.
      intptr_t previous = client_cell_;
      client_cell_ = value;
      return previous;
    }
    case TMBIO_FILE_CURRENT_KEY: {
      if (value < 1 || value > schema_->key_count()) return TMBIO_INVALID;
      intptr_t previous = current_key_;
      ChangeKey(static_cast<int32_t>(value));
      return previous;
    }
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

int32_t OpenFile::Describe(TMBFileDescription* d) {
  if (d == nullptr) return TMBIO_INVALID;
  StopCursor();
  int32_t status = 0;
  const int64_t records = CountRows("SELECT count(*) FROM records", &status);
  if (records < 0) return status;
  const int64_t entries = CountRows("SELECT count(*) FROM dictionary", &status);
  if (entries < 0) return status;
  const int64_t page = CountRows("PRAGMA page_size", &status);
  if (page < 0) return status;
  struct stat st;
  int64_t kib = stat(conn_->path().c_str(), &st) == 0 ? (st.st_size + 1023) / 1024 : 0;
  memset(d, 0, sizeof *d);
  d->values[0] = schema_->record_length();
  d->values[1] = schema_->variable_length();
  d->values[2] = schema_->key_count();
  d->values[3] = schema_->segment_total();
  d->values[4] = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
  d->values[5] = schema_->def().kind;
  d->values[6] = current_key_;
  d->values[7] = static_cast<int32_t>(GetMode(TMBIO_FILE_FLAGS));
  d->values[8] = static_cast<int32_t>(schema_->def().fields.size());
  d->values[9] = static_cast<int32_t>(page);
  d->values[10] = static_cast<int32_t>(std::min<int64_t>(kib, INT32_MAX));
  d->values[11] = static_cast<int32_t>(std::min<int64_t>(entries, INT32_MAX));
  d->byte1 = raw_ ? 1 : 0;
  d->byte2 = read_only_ ? 1 : 0;
  return 1;
}

int32_t OpenFile::DescribeIndex(int32_t start, int32_t* end, int32_t* segment_count,
                                TMBIndexKey* keys, TMBIndexSegment* segments) {
  if (end == nullptr || segment_count == nullptr || start < 0) return TMBIO_INVALID;
  // `start` and `*end` are the client's numbers, anywhere in 32 bits: the
  // key numbers are counted in 64, where start + 1 cannot wrap around to a
  // key number below 1.
  const int64_t first = int64_t{start} + 1;
  const int32_t last = std::min(*end, schema_->key_count());
  const int32_t room = std::max(0, *segment_count);
  int32_t filled = 0;
  int32_t described = 0;
  for (int64_t k = first; k <= last; ++k, ++described) {
    const Key& key = schema_->key(static_cast<int32_t>(k));
    if (keys != nullptr) {
      TMBIndexKey& e = keys[k - first];
      memset(&e, 0, sizeof e);
      e.number1 = static_cast<int32_t>(k);
      e.number2 = static_cast<int32_t>(key.segments.size());
      e.number3 = key.value_length;
      e.byte1 = key.unique ? 0 : 1;
      memcpy(e.name, key.name.data(), std::min(key.name.size(), sizeof e.name - 1));
    }
    for (size_t i = 0; i < key.segments.size() && segments != nullptr && filled < room; ++i) {
      TMBIndexSegment& s = segments[filled++];
      memset(&s, 0, sizeof s);
      s.byte1 = static_cast<uint8_t>(k);
      s.byte2 = static_cast<uint8_t>(i + 1);
      s.number1 = key.segments[i].offset;
      s.number2 = key.segments[i].length;
      s.number3 = key.segments[i].flags;
    }
  }
  // Lowered only: the caller's arrays hold no more than it asked for.
  if (last < *end) *end = last;
  *segment_count = std::min(*segment_count, filled);
  if (*segment_count < 0) *segment_count = 0;
  return described;
}

}  // namespace tmbio
