#include "sql_meta.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "data_file.h"
#include "definition.h"
#include "environment.h"
#include "users.h"

namespace tmbio {

namespace {

// A directory listing stops here: a metadata query must not run away.
constexpr size_t kMaxTables = 100000;

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

template <size_t N>
void Put(char (&field)[N], const std::string& text) {
  size_t n = std::min(text.size(), N - 1);
  memcpy(field, text.data(), n);
  memset(field + n, 0, N - n);
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Fold(x) < Fold(y); });
}

// Reads a data file's definition and record count without joining any
// environment's transaction.
bool ReadTable(const std::string& path, int32_t lock_wait_ms, FileDefinition* def, int64_t* records) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           kDataFileVfs);
  bool ok = false;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, lock_wait_ms);
    if (LoadDefinition(db, def, nullptr) == 0) {
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*) FROM records", -1, &s, nullptr) == SQLITE_OK &&
          sqlite3_step(s) == SQLITE_ROW) {
        *records = sqlite3_column_int64(s, 0);
        ok = true;
      }
      sqlite3_finalize(s);
    }
  }
  sqlite3_close_v2(db);
  return ok;
}

}  // namespace

bool LikeMatch(std::string_view p, std::string_view t) {
  // Iterative matching with one backtrack point for the last %.
  size_t pi = 0, ti = 0, star = std::string_view::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == '%') {
      star = ++pi;
      mark = ti;
      continue;
    }
    if (pi < p.size()) {
      char pc = p[pi];
      size_t step = 1;
      bool any = pc == '_';
      if (pc == '\\' && pi + 1 < p.size()) {
        pc = p[pi + 1];
        step = 2;
        any = false;
      }
      if (any || Fold(pc) == Fold(t[ti])) {
        pi += step;
        ++ti;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    pi = star;
    ti = ++mark;
  }
  while (pi < p.size() && p[pi] == '%') ++pi;
  return pi == p.size();
}

SqlSession::SqlSession(Environment* env) : env_(env), dir_(env->DataDir()) {
  pub_.object_type = TMBIO_OBJECT_SQL_HANDLE;
  pub_.engine = this;
  pub_.environment = env->pub();
  ++env_->sql_handles;
}

SqlSession::~SqlSession() {
  --env_->sql_handles;
  pub_.engine = nullptr;
  pub_.object_type = 0;
}

SqlSession* SqlSession::Create(Environment* env, int32_t* error_word) {
  if (env->sql_handles >= TMBIO_MAX_SQL_HANDLES) {
    *error_word = -TMBIO_LIMIT;
    return nullptr;
  }
  if (!env->MayUseDirectory(env->DataDir())) {
    *error_word = -TMBIO_DENIED;
    return nullptr;
  }
  *error_word = 0;
  return new SqlSession(env);
}

SqlSession* SqlSession::Of(TMBSqlHandle* handle) {
  if (handle == nullptr || handle->object_type != TMBIO_OBJECT_SQL_HANDLE) return nullptr;
  return static_cast<SqlSession*>(handle->engine);
}

std::vector<SqlSession::Table> SqlSession::ListTables(std::string_view pattern) const {
  std::vector<Table> out;
  DIR* d = opendir(dir_.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string file = e->d_name;
    if (file.size() <= 4) continue;
    std::string ext = file.substr(file.size() - 4);
    for (char& c : ext) c = static_cast<char>(Fold(c));
    if (ext != ".TMB") continue;
    std::string name = file.substr(0, file.size() - 4);
    if (!pattern.empty() && !LikeMatch(pattern, name)) continue;
    std::string path = dir_ + "/" + file;
    // A link to a file of a guarded directory is left out, as the file would
    // be refused to an open: its definition and count are that directory's.
    std::string real;
    if (env_->MayUseFile(path, &real) != 0) continue;
    struct stat st;
    if (stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back(Table{std::move(name), std::move(path), std::move(real)});
    if (out.size() >= kMaxTables) break;
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const Table& a, const Table& b) { return LessIgnoringCase(a.name, b.name); });
  return out;
}

int32_t SqlSession::GetTables(const char* table, int32_t table_length, int32_t kind,
                              int32_t* tables, int32_t* columns) {
  tables_.clear();
  next_table_ = 0;
  std::string pattern;
  if (table != nullptr && table_length > 0) {
    pattern.assign(table, strnlen(table, static_cast<size_t>(table_length)));
  }
  int64_t column_total = 0;
  // Kinds 0 and 1 ask for tables; there are no views.
  if (kind == 0 || kind == 1) {
    const std::string catalog = env_->CatalogName();
    const std::string views = env_->ViewLibrary();
    for (const Table& t : ListTables(pattern)) {
      FileDefinition def;
      int64_t records = 0;
      if (!ReadTable(t.real, env_->lock_wait_ms(), &def, &records)) continue;
      TMBTableRecord r{};
      Put(r.text1, t.name);
      Put(r.text2, catalog);
      Put(r.text3, t.path);
      Put(r.text4, def.description);
      Put(r.text6, "TABLE");
      Put(r.text7, views);
      Put(r.text8, "TMB");
      r.number1 = def.record_length;
      r.byte1 = static_cast<uint8_t>(def.keys.size());
      r.byte2 = static_cast<uint8_t>(def.kind);
      std::string schema = SchemaToJson(def);
      if (schema.size() <= sizeof r.extension) {
        r.has_extension = 1;
        r.extension_length = static_cast<int32_t>(schema.size());
        memcpy(r.extension, schema.data(), schema.size());
      }
      r.number2 = static_cast<int32_t>(std::min<int64_t>(records, INT32_MAX));
      tables_.push_back(r);
      column_total += static_cast<int64_t>(def.fields.size());
    }
  }
  if (tables != nullptr) *tables = static_cast<int32_t>(tables_.size());
  if (columns != nullptr) *columns = static_cast<int32_t>(std::min<int64_t>(column_total, INT32_MAX));
  return 0;
}

int32_t SqlSession::GetColumns(const char* table, const char* column, int32_t* count) {
  columns_.clear();
  next_column_ = 0;
  const std::string table_pattern = table == nullptr ? std::string() : std::string(table, strnlen(table, 4096));
  const std::string column_pattern = column == nullptr ? std::string() : std::string(column, strnlen(column, 4096));
  const std::string catalog = env_->CatalogName();
  for (const Table& t : ListTables(table_pattern)) {
    FileDefinition def;
    int64_t records = 0;
    if (!ReadTable(t.real, env_->lock_wait_ms(), &def, &records)) continue;
    for (size_t i = 0; i < def.fields.size(); ++i) {
      const FieldDef& f = def.fields[i];
      if (!column_pattern.empty() && !LikeMatch(column_pattern, f.name)) continue;
      // The keys this field is in: a segment names it, or covers exactly
      // its bytes.
      std::string key_names;
      int32_t first_key = 0, segment = 0;
      for (size_t k = 0; k < def.keys.size(); ++k) {
        for (size_t s = 0; s < def.keys[k].segments.size(); ++s) {
          const SegmentDef& sd = def.keys[k].segments[s];
          bool in = sd.field.empty() ? sd.offset == f.offset && sd.length == f.length : sd.field == f.name;
          if (!in) continue;
          if (first_key == 0) {
            first_key = static_cast<int32_t>(k + 1);
            segment = static_cast<int32_t>(s + 1);
          }
          if (!key_names.empty()) key_names += ",";
          key_names += def.keys[k].name;
          break;
        }
      }
      SqlType type = SqlTypeOf(f);
      TMBColumnRecord r{};
      Put(r.text1, catalog);
      Put(r.text3, t.name);
      Put(r.text4, f.name);
      Put(r.text5, type.name);
      Put(r.text6, f.description);
      Put(r.text8, f.description);
      Put(r.text9, type.format);
      Put(r.text10, f.name);
      Put(r.text11, key_names);
      r.int1 = type.code;
      r.flag = f.nullable ? 1 : 0;
      r.int2 = type.column_size;
      r.int3 = f.length;
      r.int4 = 0;
      r.int5 = type.radix;
      r.int6 = f.nullable ? 1 : 0;
      r.int7 = static_cast<int32_t>(i + 1);
      r.int8 = f.offset;
      r.int9 = first_key;
      r.int10 = segment;
      columns_.push_back(r);
    }
  }
  if (count != nullptr) *count = static_cast<int32_t>(std::min<size_t>(columns_.size(), INT32_MAX));
  return 0;
}

int32_t SqlSession::FetchTable(const char* name, int32_t name_length, int32_t count,
                               TMBTableRecord* out) {
  if (count < 0 || (count > 0 && out == nullptr)) return TMBIO_INVALID;
  if (name != nullptr && name_length > 0) {
    std::string wanted(name, strnlen(name, static_cast<size_t>(name_length)));
    next_table_ = tables_.size();
    for (size_t i = 0; i < tables_.size(); ++i) {
      std::string have(tables_[i].text1, strnlen(tables_[i].text1, sizeof tables_[i].text1));
      if (!LessIgnoringCase(have, wanted) && !LessIgnoringCase(wanted, have)) {
        next_table_ = i;
        break;
      }
    }
  }
  int32_t filled = 0;
  while (filled < count && next_table_ < tables_.size()) out[filled++] = tables_[next_table_++];
  return filled;
}

int32_t SqlSession::FetchColumn(int32_t count, TMBColumnRecord* out) {
  if (count < 0 || (count > 0 && out == nullptr)) return TMBIO_INVALID;
  int32_t filled = 0;
  while (filled < count && next_column_ < columns_.size()) out[filled++] = columns_[next_column_++];
  return filled;
}

}  // namespace tmbio
