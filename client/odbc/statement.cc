#include "client/odbc/statement.h"

#include "client/sql/result_codes.h"

#include <sqlite3.h>
#include <strings.h>

#include <cstring>

#include "client/odbc/catalog.h"

namespace tmb::odbc {

bool Session::BeginIfNeeded(Diagnostics* diag) {
  if (autocommit || !sqlite3_get_autocommit(db)) return true;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, &error);
  if (rc == SQLITE_OK) return true;
  const std::string message = error != nullptr ? error : sqlite3_errstr(rc);
  sqlite3_free(error);
  diag->Add(StateForSqlite(rc, message, false), "cannot begin a transaction: " + message, rc);
  return false;
}

bool Session::InTransaction() const { return db != nullptr && !sqlite3_get_autocommit(db); }

bool Session::EndTransaction(bool commit, Diagnostics* diag) {
  if (!InTransaction()) return true;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, commit ? "COMMIT" : "ROLLBACK", nullptr, nullptr, &error);
  if (rc == SQLITE_OK) return true;
  const std::string message = error != nullptr ? error : sqlite3_errstr(rc);
  sqlite3_free(error);
  diag->Add(StateForSqlite(rc, message, false),
            std::string(commit ? "commit" : "rollback") + " failed: " + message, rc);
  return false;
}

Statement::Statement(Session* session) : session_(session) {}

Statement::~Statement() { Finalize(); }

void Statement::Finalize() {
  CloseCursor();
  if (stmt_ != nullptr) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  columns_.clear();
  row_count_ = -1;
}

SQLRETURN Statement::SqliteError(int code, bool preparing) {
  const int extended = sqlite3_extended_errcode(session_->db);
  const std::string message =
      (code & 0xff) == SQLITE_AUTH ? tmb::sql::kSchemaChangeRefused : sqlite3_errmsg(session_->db);
  const std::string state = StateForSqlite(extended != 0 ? extended : code, message, preparing);
  if (state == "08S01") session_->lost = true;
  diag_.Add(state, message, code);
  return SQL_ERROR;
}

namespace {

bool Has(const char* text, const char* part) {
  if (text == nullptr) return false;
  const size_t n = std::strlen(part);
  for (const char* p = text; *p != '\0'; ++p) {
    if (strncasecmp(p, part, n) == 0) return true;
  }
  return false;
}

bool OnlySeparators(const char* tail) {
  for (; tail != nullptr && *tail != '\0'; ++tail) {
    if (*tail != ';' && *tail != ' ' && *tail != '\n' && *tail != '\r' && *tail != '\t') {
      return false;
    }
  }
  return true;
}

ColumnInfo FromValueType(int type, int bytes) {
  ColumnInfo c;
  switch (type) {
    case SQLITE_INTEGER:
      c.sql_type = SQL_BIGINT;
      c.size = 19;
      break;
    case SQLITE_FLOAT:
      c.sql_type = SQL_DOUBLE;
      c.size = 15;
      break;
    case SQLITE_BLOB:
      c.sql_type = SQL_VARBINARY;
      c.size = bytes > 255 ? static_cast<SQLULEN>(bytes) : 255;
      break;
    default:
      c.sql_type = SQL_VARCHAR;
      c.size = bytes > 255 ? static_cast<SQLULEN>(bytes) : 255;
  }
  return c;
}

}  // namespace

void Statement::DescribeSqliteColumns() {
  columns_.clear();
  const int n = sqlite3_column_count(stmt_);
  for (int i = 0; i < n; ++i) {
    ColumnInfo c;
    bool known = false;
    const char* table = sqlite3_column_table_name(stmt_, i);
    const char* origin = sqlite3_column_origin_name(stmt_, i);
    if (table != nullptr && origin != nullptr && session_->tables != nullptr) {
      for (const auto& t : *session_->tables) {
        if (strcasecmp(t.name.c_str(), table) != 0) continue;
        for (const auto& col : t.columns) {
          if (strcasecmp(col.name.c_str(), origin) == 0) {
            c = DescribeColumn(t, col);
            known = true;
          }
        }
      }
    }
    if (!known) {
      const char* decl = sqlite3_column_decltype(stmt_, i);
      if (Has(decl, "INT")) {
        c = FromValueType(SQLITE_INTEGER, 0);
      } else if (Has(decl, "CHAR") || Has(decl, "TEXT") || Has(decl, "CLOB")) {
        c = FromValueType(SQLITE_TEXT, 0);
      } else if (Has(decl, "BLOB") || Has(decl, "BINARY")) {
        c = FromValueType(SQLITE_BLOB, 0);
      } else if (Has(decl, "REAL") || Has(decl, "FLOA") || Has(decl, "DOUB")) {
        c = FromValueType(SQLITE_FLOAT, 0);
      } else if (Has(decl, "DATE")) {
        c.sql_type = SQL_TYPE_DATE;
        c.size = 10;
      } else if (row_pending_) {
        c = FromValueType(sqlite3_column_type(stmt_, i), sqlite3_column_bytes(stmt_, i));
      } else {
        c = FromValueType(SQLITE_TEXT, 0);
      }
      if (table != nullptr) c.table = table;
      if (origin != nullptr) c.base_column = origin;
    }
    const char* name = sqlite3_column_name(stmt_, i);
    c.name = name != nullptr ? name : "";
    columns_.push_back(c);
  }
}

SQLRETURN Statement::Prepare(const std::string& text) {
  Finalize();
  from_rows_ = false;
  if (session_->db == nullptr) {
    diag_.Add("08003", "Connection not open");
    return SQL_ERROR;
  }
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(session_->db, text.c_str(), static_cast<int>(text.size()),
                                    &stmt_, &tail);
  if (rc != SQLITE_OK) {
    stmt_ = nullptr;
    return SqliteError(rc, true);
  }
  if (stmt_ == nullptr) {
    diag_.Add("42000", "the statement text holds no statement");
    return SQL_ERROR;
  }
  if (!OnlySeparators(tail)) {
    Finalize();
    diag_.Add("42000", "one statement at a time: the text goes on after the first");
    return SQL_ERROR;
  }
  DescribeSqliteColumns();
  executed_ = false;
  return SQL_SUCCESS;
}

SQLRETURN Statement::ExecDirect(const std::string& text) {
  const SQLRETURN rc = Prepare(text);
  if (rc != SQL_SUCCESS) return rc;
  return Execute();
}

SQLRETURN Statement::Execute() {
  if (stmt_ == nullptr) {
    diag_.Add("HY010", "Function sequence error: no statement is prepared");
    return SQL_ERROR;
  }
  CloseCursor();
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  row_count_ = -1;
  const int count = sqlite3_bind_parameter_count(stmt_);
  for (int i = 1; i <= count; ++i) {
    auto it = params_.find(static_cast<SQLUSMALLINT>(i));
    if (it == params_.end()) {
      diag_.Add("07002", "COUNT field incorrect: parameter " + std::to_string(i) +
                             " of " + std::to_string(count) + " is not bound");
      return SQL_ERROR;
    }
    const Param& p = it->second;
    Value v;
    const ConvertResult r = ConvertIn(p.c_type, p.sql_type, p.value, p.buffer_length,
                                      p.indicator, &v);
    if (r.outcome == Outcome::kError) {
      diag_.Add(r.state, "parameter " + std::to_string(i) + ": " + r.message);
      return SQL_ERROR;
    }
    int rc = SQLITE_OK;
    switch (v.kind) {
      case Value::kNull: rc = sqlite3_bind_null(stmt_, i); break;
      case Value::kInteger: rc = sqlite3_bind_int64(stmt_, i, v.integer); break;
      case Value::kReal: rc = sqlite3_bind_double(stmt_, i, v.real); break;
      case Value::kText:
        rc = sqlite3_bind_text64(stmt_, i, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
        break;
      case Value::kBlob:
        rc = sqlite3_bind_blob64(stmt_, i, v.bytes.data(), v.bytes.size(), SQLITE_TRANSIENT);
        break;
    }
    if (rc != SQLITE_OK) return SqliteError(rc, false);
  }
  if (!session_->BeginIfNeeded(&diag_)) return SQL_ERROR;
  running_ = true;
  const int rc = sqlite3_step(stmt_);
  running_ = false;
  executed_ = true;
  if (rc == SQLITE_ROW) {
    row_pending_ = true;
    cursor_ = true;
    DescribeSqliteColumns();
    offsets_.assign(columns_.size(), 0);
    return SQL_SUCCESS;
  }
  if (rc == SQLITE_DONE) {
    if (sqlite3_column_count(stmt_) > 0) {
      cursor_ = true;
      exhausted_ = true;
      offsets_.assign(columns_.size(), 0);
    } else {
      row_count_ = sqlite3_changes(session_->db);
      sqlite3_reset(stmt_);
    }
    return SQL_SUCCESS;
  }
  const SQLRETURN ret = SqliteError(rc, false);
  sqlite3_reset(stmt_);
  return ret;
}

SQLRETURN Statement::NumParams(SQLSMALLINT* count) {
  if (stmt_ == nullptr) {
    diag_.Add("HY010", "Function sequence error: no statement is prepared");
    return SQL_ERROR;
  }
  if (count != nullptr) *count = static_cast<SQLSMALLINT>(sqlite3_bind_parameter_count(stmt_));
  return SQL_SUCCESS;
}

SQLRETURN Statement::BindParameter(SQLUSMALLINT number, SQLSMALLINT io_type,
                                   SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN,
                                   SQLSMALLINT, SQLPOINTER value, SQLLEN buffer_length,
                                   SQLLEN* length_or_indicator) {
  if (number == 0) {
    diag_.Add("07009", "Invalid descriptor index: parameters count from 1");
    return SQL_ERROR;
  }
  if (io_type != SQL_PARAM_INPUT) {
    diag_.Add("HYC00", "Optional feature not implemented: only input parameters");
    return SQL_ERROR;
  }
  params_[number] = Param{c_type, sql_type, value, buffer_length, length_or_indicator};
  return SQL_SUCCESS;
}

SQLRETURN Statement::NumResultCols(SQLSMALLINT* count) {
  if (count != nullptr) *count = static_cast<SQLSMALLINT>(columns_.size());
  return SQL_SUCCESS;
}

const ColumnInfo* Statement::Column(SQLUSMALLINT number) {
  if (number == 0 || number > columns_.size()) {
    diag_.Add("07009", "Invalid descriptor index: column " + std::to_string(number) + " of " +
                           std::to_string(columns_.size()));
    return nullptr;
  }
  return &columns_[number - 1];
}

SQLRETURN Statement::BindCol(SQLUSMALLINT number, SQLSMALLINT c_type, SQLPOINTER target,
                             SQLLEN buffer_length, SQLLEN* indicator) {
  if (number == 0) {
    diag_.Add("07009", "Invalid descriptor index: bookmarks are not supported");
    return SQL_ERROR;
  }
  if (target == nullptr && indicator == nullptr) {
    bound_.erase(number);
    return SQL_SUCCESS;
  }
  if (buffer_length < 0) {
    diag_.Add("HY090", "Invalid string or buffer length");
    return SQL_ERROR;
  }
  bound_[number] = Bound{c_type, target, buffer_length, indicator};
  return SQL_SUCCESS;
}

Value Statement::CurrentValue(size_t column) const {
  if (from_rows_) return rows_.rows[current_row_][column];
  const int i = static_cast<int>(column);
  switch (sqlite3_column_type(stmt_, i)) {
    case SQLITE_NULL:
      return Value::Null();
    case SQLITE_INTEGER:
      return Value::Int(sqlite3_column_int64(stmt_, i));
    case SQLITE_FLOAT:
      return Value::Real(sqlite3_column_double(stmt_, i));
    case SQLITE_BLOB: {
      const void* p = sqlite3_column_blob(stmt_, i);
      const int n = sqlite3_column_bytes(stmt_, i);
      return Value::Blob(p != nullptr ? std::string(static_cast<const char*>(p), n) : "");
    }
    default: {
      const unsigned char* p = sqlite3_column_text(stmt_, i);
      const int n = sqlite3_column_bytes(stmt_, i);
      return Value::Text(p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : "");
    }
  }
}

SQLRETURN Statement::Report(const ConvertResult& r, bool* warned) {
  if (r.outcome == Outcome::kError) {
    diag_.Add(r.state, r.message);
    return SQL_ERROR;
  }
  if (r.state != nullptr) {
    diag_.Add(r.state, r.message);
    *warned = true;
  }
  return SQL_SUCCESS;
}

SQLRETURN Statement::Fetch() {
  if (!cursor_) {
    diag_.Add("24000", "Invalid cursor state: no result set is open");
    return SQL_ERROR;
  }
  if (rows_fetched != nullptr) *rows_fetched = 0;
  on_row_ = false;
  if (from_rows_) {
    if (next_row_ >= rows_.rows.size()) return SQL_NO_DATA;
    current_row_ = next_row_++;
  } else if (row_pending_) {
    row_pending_ = false;
  } else {
    if (exhausted_) return SQL_NO_DATA;
    running_ = true;
    const int rc = sqlite3_step(stmt_);
    running_ = false;
    if (rc == SQLITE_DONE) {
      exhausted_ = true;
      return SQL_NO_DATA;
    }
    if (rc != SQLITE_ROW) {
      exhausted_ = true;
      return SqliteError(rc, false);
    }
  }
  on_row_ = true;
  offsets_.assign(columns_.size(), 0);
  bool warned = false;
  bool failed = false;
  for (auto& [number, b] : bound_) {
    if (number > columns_.size()) {
      diag_.Add("07009", "Invalid descriptor index: column " + std::to_string(number) +
                             " is bound but the result has " +
                             std::to_string(columns_.size()));
      failed = true;
      continue;
    }
    size_t offset = 0;
    const SQLSMALLINT c_type =
        b.c_type == SQL_C_DEFAULT ? DefaultCType(columns_[number - 1].sql_type) : b.c_type;
    const ConvertResult r =
        ConvertOut(CurrentValue(number - 1), c_type, b.target, b.buffer_length, b.indicator,
                   &offset);
    if (r.outcome == Outcome::kTruncated) {
      diag_.Add("01004", "String data, right truncated in column " + std::to_string(number));
      warned = true;
    } else if (Report(r, &warned) == SQL_ERROR) {
      failed = true;
    }
  }
  if (rows_fetched != nullptr) *rows_fetched = 1;
  if (row_status != nullptr) {
    *row_status = failed ? SQL_ROW_ERROR : warned ? SQL_ROW_SUCCESS_WITH_INFO : SQL_ROW_SUCCESS;
  }
  if (failed) return SQL_ERROR;
  return warned ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN Statement::GetData(SQLUSMALLINT number, SQLSMALLINT c_type, SQLPOINTER target,
                             SQLLEN buffer_length, SQLLEN* indicator) {
  if (!cursor_ || !on_row_) {
    diag_.Add("24000", "Invalid cursor state: no current row");
    return SQL_ERROR;
  }
  if (Column(number) == nullptr) return SQL_ERROR;
  if (buffer_length < 0) {
    diag_.Add("HY090", "Invalid string or buffer length");
    return SQL_ERROR;
  }
  if (c_type == SQL_C_DEFAULT || c_type == SQL_ARD_TYPE) {
    c_type = DefaultCType(columns_[number - 1].sql_type);
  }
  const ConvertResult r = ConvertOut(CurrentValue(number - 1), c_type, target, buffer_length,
                                     indicator, &offsets_[number - 1]);
  if (r.outcome == Outcome::kNoData) return SQL_NO_DATA;
  if (r.outcome == Outcome::kTruncated) {
    diag_.Add("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  bool warned = false;
  if (Report(r, &warned) == SQL_ERROR) return SQL_ERROR;
  return warned ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

SQLRETURN Statement::RowCount(SQLLEN* count) {
  if (count != nullptr) *count = row_count_;
  return SQL_SUCCESS;
}

void Statement::CloseCursor() {
  if (stmt_ != nullptr && executed_) sqlite3_reset(stmt_);
  cursor_ = false;
  row_pending_ = false;
  on_row_ = false;
  exhausted_ = false;
  if (from_rows_) {
    rows_ = Rows{};
    columns_.clear();
    from_rows_ = false;
  }
  next_row_ = 0;
}

void Statement::SetRows(Rows rows) {
  Finalize();
  rows_ = std::move(rows);
  columns_ = rows_.columns;
  from_rows_ = true;
  cursor_ = true;
  next_row_ = 0;
  row_count_ = -1;
  offsets_.assign(columns_.size(), 0);
}

void Statement::Cancel() {
  if (running_) sqlite3_interrupt(session_->db);
}

}  // namespace tmb::odbc
