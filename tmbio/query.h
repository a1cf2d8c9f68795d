// A statement prepared for one run and finalized however its scope is left
// (an exception included): a statement left unfinalized would keep its
// connection from closing.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace tmbio {

class Query {
 public:
  Query(sqlite3* db, const char* sql) : prepared_(sqlite3_prepare_v2(db, sql, -1, &s_, nullptr)) {}
  ~Query() { sqlite3_finalize(s_); }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  sqlite3_stmt* get() const { return s_; }
  bool ok() const { return s_ != nullptr; }
  // What preparing it returned (SQLITE_OK, or why it failed).
  int prepared() const { return prepared_; }
  int Step() { return s_ == nullptr ? SQLITE_ERROR : sqlite3_step(s_); }
  Query& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  Query& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Query& Blob(int i, const std::string& v) {
    sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // A column's bytes; empty for NULL.
  std::string Column(int i) const {
    const void* p = sqlite3_column_blob(s_, i);
    return p == nullptr ? std::string()
                        : std::string(static_cast<const char*>(p), sqlite3_column_bytes(s_, i));
  }

 private:
  sqlite3_stmt* s_ = nullptr;
  int prepared_;
};

}  // namespace tmbio
