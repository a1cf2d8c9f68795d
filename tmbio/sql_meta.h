// SQL handles: the metadata an environment's data directory offers to SQL
// clients, its data files as tables and their fields as columns. A query
// prepares its rows; the fetch calls hand them out in batches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tmbio/tmbio.h"

namespace tmbio {

class Environment;

// True when `text` matches the SQL LIKE `pattern` (% any run, _ one
// character, \ escapes the next), ignoring ASCII case.
bool LikeMatch(std::string_view pattern, std::string_view text);

class SqlSession {
 public:
  // A new handle over `env`'s data directory; *error_word 16 past
  // TMBIO_MAX_SQL_HANDLES, 9 when users are defined and nobody logged on.
  static SqlSession* Create(Environment* env, int32_t* error_word);
  ~SqlSession();
  SqlSession(const SqlSession&) = delete;
  SqlSession& operator=(const SqlSession&) = delete;

  static SqlSession* Of(TMBSqlHandle* handle);  // null for a bad handle
  TMBSqlHandle* pub() { return &pub_; }

  int32_t GetTables(const char* table, int32_t table_length, int32_t kind, int32_t* tables,
                    int32_t* columns);
  int32_t GetColumns(const char* table, const char* column, int32_t* count);
  int32_t FetchTable(const char* name, int32_t name_length, int32_t count, TMBTableRecord* out);
  int32_t FetchColumn(int32_t count, TMBColumnRecord* out);

 private:
  explicit SqlSession(Environment* env);

  struct Table {
    std::string name;
    std::string path;
    std::string real;  // the path with links resolved, as the guard checked it
  };
  // The data files of the directory whose names match `pattern` (empty:
  // all), by name.
  std::vector<Table> ListTables(std::string_view pattern) const;

  TMBSqlHandle pub_{};
  Environment* env_;
  std::string dir_;
  std::vector<TMBTableRecord> tables_;
  size_t next_table_ = 0;
  std::vector<TMBColumnRecord> columns_;
  size_t next_column_ = 0;
};

}  // namespace tmbio
