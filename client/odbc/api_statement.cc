// Entry points for statements: prepare, execute, parameters, results,
// cursors and statement attributes.
#include <cstring>

#include "client/odbc/handles.h"

using namespace tmb::odbc;

namespace {

SQLRETURN WithWarnings(Stmt* stmt, SQLRETURN rc) {
  if (rc == SQL_SUCCESS && !stmt->diag().empty()) return SQL_SUCCESS_WITH_INFO;
  return rc;
}

SQLRETURN CopyOut(Stmt* stmt, const std::string& text, const TextOut& out, long* full) {
  if (out.Put(text, full)) {
    stmt->diag().Add("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLRETURN Prepare(Width width, SQLHSTMT handle, const void* text, SQLINTEGER length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.Prepare(TextArg(width, text, length));
}

SQLRETURN ExecDirect(Width width, SQLHSTMT handle, const void* text, SQLINTEGER length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return WithWarnings(stmt, stmt->statement.ExecDirect(TextArg(width, text, length)));
}

// The name's capacity and length count characters of the caller's width.
SQLRETURN DescribeCol(Width width, SQLHSTMT handle, SQLUSMALLINT number, void* name,
                      SQLSMALLINT capacity, SQLSMALLINT* name_length, SQLSMALLINT* type,
                      SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const ColumnInfo* c = stmt->statement.Column(number);
  if (c == nullptr) return SQL_ERROR;
  long full = 0;
  const SQLRETURN rc = CopyOut(stmt, c->name, TextOut::Chars(width, name, capacity), &full);
  if (name_length != nullptr) *name_length = static_cast<SQLSMALLINT>(full);
  if (type != nullptr) *type = c->sql_type;
  if (size != nullptr) *size = c->size;
  if (digits != nullptr) *digits = c->digits;
  if (nullable != nullptr) *nullable = c->nullable;
  return rc;
}

// A text attribute's capacity and length count bytes in either width.
SQLRETURN ColAttribute(Width width, SQLHSTMT handle, SQLUSMALLINT number, SQLUSMALLINT field,
                       SQLPOINTER text, SQLSMALLINT capacity, SQLSMALLINT* length,
                       SQLLEN* numeric) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (field == SQL_DESC_COUNT || field == SQL_COLUMN_COUNT) {
    SQLSMALLINT count = 0;
    stmt->statement.NumResultCols(&count);
    if (numeric != nullptr) *numeric = count;
    return SQL_SUCCESS;
  }
  const ColumnInfo* c = stmt->statement.Column(number);
  if (c == nullptr) return SQL_ERROR;
  auto number_out = [&](SQLLEN v) {
    if (numeric != nullptr) *numeric = v;
    return SQL_SUCCESS;
  };
  auto text_out = [&](const std::string& v) {
    long full = 0;
    const SQLRETURN rc = CopyOut(stmt, v, TextOut::Bytes(width, text, capacity), &full);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(full);
    return rc;
  };
  const bool chars = c->sql_type == SQL_VARCHAR || c->sql_type == SQL_WVARCHAR ||
                     c->sql_type == SQL_CHAR;
  switch (field) {
    case SQL_DESC_NAME:
    case SQL_COLUMN_NAME:
    case SQL_DESC_LABEL:
      return text_out(c->name);
    case SQL_DESC_BASE_COLUMN_NAME:
      return text_out(c->base_column);
    case SQL_DESC_TABLE_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
      return text_out(c->table);
    case SQL_DESC_CATALOG_NAME:
      return text_out(c->table.empty() ? "" : stmt->dbc->session.catalog);
    case SQL_DESC_SCHEMA_NAME:
      return text_out("");
    case SQL_DESC_TYPE_NAME:
    case SQL_DESC_LOCAL_TYPE_NAME:
      return text_out(TypeName(c->sql_type));
    case SQL_DESC_LITERAL_PREFIX:
    case SQL_DESC_LITERAL_SUFFIX:
      return text_out(chars || c->sql_type == SQL_TYPE_DATE ? "'" : "");
    case SQL_DESC_TYPE:
    case SQL_DESC_CONCISE_TYPE:
      if (field == SQL_DESC_TYPE && c->sql_type == SQL_TYPE_DATE) return number_out(SQL_DATETIME);
      return number_out(c->sql_type);
    case SQL_DESC_DATETIME_INTERVAL_CODE:
      return number_out(c->sql_type == SQL_TYPE_DATE ? SQL_CODE_DATE : 0);
    case SQL_DESC_LENGTH:
    case SQL_COLUMN_LENGTH:
    case SQL_DESC_PRECISION:
    case SQL_COLUMN_PRECISION:
      return number_out(static_cast<SQLLEN>(c->size));
    case SQL_DESC_OCTET_LENGTH:
      return number_out(OctetLength(*c));
    case SQL_DESC_DISPLAY_SIZE:
      return number_out(DisplaySize(*c));
    case SQL_DESC_SCALE:
    case SQL_COLUMN_SCALE:
      return number_out(c->digits);
    case SQL_DESC_NULLABLE:
    case SQL_COLUMN_NULLABLE:
      return number_out(c->nullable);
    case SQL_DESC_UNSIGNED:
      // Numbers are signed: an unsigned field is a BIGINT (the SQL view
      // hands a value above 2^63-1 over as text). Other types have no sign,
      // which ODBC reports as unsigned.
      return number_out(c->sql_type == SQL_BIGINT || c->sql_type == SQL_INTEGER ||
                                c->sql_type == SQL_SMALLINT || c->sql_type == SQL_DOUBLE
                            ? SQL_FALSE
                            : SQL_TRUE);
    case SQL_DESC_NUM_PREC_RADIX:
      return number_out(c->sql_type == SQL_BIGINT ? 10 : c->sql_type == SQL_DOUBLE ? 2 : 0);
    case SQL_DESC_SEARCHABLE:
      return number_out(chars ? SQL_PRED_SEARCHABLE : SQL_PRED_BASIC);
    case SQL_DESC_UPDATABLE:
      return number_out(SQL_ATTR_READONLY);
    case SQL_DESC_AUTO_UNIQUE_VALUE:
    case SQL_DESC_FIXED_PREC_SCALE:
      return number_out(SQL_FALSE);
    case SQL_DESC_CASE_SENSITIVE:
      return number_out(chars ? SQL_TRUE : SQL_FALSE);
    case SQL_DESC_UNNAMED:
      return number_out(c->name.empty() ? SQL_UNNAMED : SQL_NAMED);
    default:
      stmt->diag().Add("HY091", "Invalid descriptor field identifier: " + std::to_string(field));
      return SQL_ERROR;
  }
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLPrepare(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  return Prepare(Width::kNarrow, handle, text, length);
}

SQLRETURN SQL_API SQLPrepareW(SQLHSTMT handle, SQLWCHAR* text, SQLINTEGER length) {
  return Prepare(Width::kWide, handle, text, length);
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT handle) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return WithWarnings(stmt, stmt->statement.Execute());
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER length) {
  return ExecDirect(Width::kNarrow, handle, text, length);
}

SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT handle, SQLWCHAR* text, SQLINTEGER length) {
  return ExecDirect(Width::kWide, handle, text, length);
}

SQLRETURN SQL_API SQLNumParams(SQLHSTMT handle, SQLSMALLINT* count) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.NumParams(count);
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT io_type,
                                   SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN size,
                                   SQLSMALLINT digits, SQLPOINTER value, SQLLEN buffer_length,
                                   SQLLEN* indicator) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.BindParameter(number, io_type, c_type, sql_type, size, digits, value,
                                       buffer_length, indicator);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT handle, SQLSMALLINT* count) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.NumResultCols(count);
}

SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT handle, SQLUSMALLINT number, SQLCHAR* name,
                                 SQLSMALLINT capacity, SQLSMALLINT* name_length,
                                 SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                                 SQLSMALLINT* nullable) {
  return DescribeCol(Width::kNarrow, handle, number, name, capacity, name_length, type, size,
                     digits, nullable);
}

SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT handle, SQLUSMALLINT number, SQLWCHAR* name,
                                  SQLSMALLINT capacity, SQLSMALLINT* name_length,
                                  SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                                  SQLSMALLINT* nullable) {
  return DescribeCol(Width::kWide, handle, number, name, capacity, name_length, type, size,
                     digits, nullable);
}

SQLRETURN SQL_API SQLColAttribute(SQLHSTMT handle, SQLUSMALLINT number, SQLUSMALLINT field,
                                  SQLPOINTER text, SQLSMALLINT capacity, SQLSMALLINT* length,
                                  SQLLEN* numeric) {
  return ColAttribute(Width::kNarrow, handle, number, field, text, capacity, length, numeric);
}

SQLRETURN SQL_API SQLColAttributeW(SQLHSTMT handle, SQLUSMALLINT number, SQLUSMALLINT field,
                                   SQLPOINTER text, SQLSMALLINT capacity, SQLSMALLINT* length,
                                   SQLLEN* numeric) {
  return ColAttribute(Width::kWide, handle, number, field, text, capacity, length, numeric);
}

SQLRETURN SQL_API SQLBindCol(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT c_type,
                             SQLPOINTER target, SQLLEN capacity, SQLLEN* indicator) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.BindCol(number, c_type, target, capacity, indicator);
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT handle) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.Fetch();
}

SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT handle, SQLSMALLINT orientation, SQLLEN) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (orientation != SQL_FETCH_NEXT) {
    stmt->diag().Add("HY106", "Fetch type out of range: the cursor is forward-only");
    return SQL_ERROR;
  }
  return stmt->statement.Fetch();
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT c_type,
                             SQLPOINTER target, SQLLEN capacity, SQLLEN* indicator) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.GetData(number, c_type, target, capacity, indicator);
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT handle, SQLLEN* count) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return stmt->statement.RowCount(count);
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT handle) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  // One result per statement text: after it there is none.
  stmt->statement.CloseCursor();
  return SQL_NO_DATA;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT handle) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!stmt->statement.HasCursor()) {
    stmt->diag().Add("24000", "Invalid cursor state: no cursor is open");
    return SQL_ERROR;
  }
  stmt->statement.CloseCursor();
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCancel(SQLHSTMT handle) {
  // Called from another thread while the statement runs: no records touched.
  Stmt* stmt = AsStmt(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->statement.Cancel();
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                 SQLINTEGER) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const auto number = static_cast<SQLULEN>(reinterpret_cast<uintptr_t>(value));
  auto only = [&](SQLULEN allowed, const char* what) {
    if (number == allowed) return SQL_SUCCESS;
    stmt->diag().Add("01S02", std::string("Option value changed: ") + what);
    return SQL_SUCCESS_WITH_INFO;
  };
  switch (attribute) {
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE:
      return only(1, "one row per fetch");
    case SQL_ATTR_PARAMSET_SIZE:
      return only(1, "one set of parameters per execution");
    case SQL_ATTR_CURSOR_TYPE:
      return only(SQL_CURSOR_FORWARD_ONLY, "the cursor is forward-only");
    case SQL_ATTR_CONCURRENCY:
      return only(SQL_CONCUR_READ_ONLY, "the cursor is read-only");
    case SQL_ATTR_CURSOR_SCROLLABLE:
      return only(SQL_NONSCROLLABLE, "the cursor is not scrollable");
    case SQL_ATTR_CURSOR_SENSITIVITY:
      return only(SQL_UNSPECIFIED, "cursor sensitivity is unspecified");
    case SQL_ATTR_USE_BOOKMARKS:
      return only(SQL_UB_OFF, "no bookmarks");
    case SQL_ATTR_ASYNC_ENABLE:
      return only(SQL_ASYNC_ENABLE_OFF, "statements run synchronously");
    case SQL_ATTR_ROW_BIND_TYPE:
      return only(SQL_BIND_BY_COLUMN, "columns are bound by column");
    case SQL_ATTR_ROWS_FETCHED_PTR:
      stmt->statement.rows_fetched = static_cast<SQLULEN*>(value);
      return SQL_SUCCESS;
    case SQL_ATTR_ROW_STATUS_PTR:
      stmt->statement.row_status = static_cast<SQLUSMALLINT*>(value);
      return SQL_SUCCESS;
    case SQL_ATTR_QUERY_TIMEOUT:
      stmt->query_timeout = number;
      return SQL_SUCCESS;
    case SQL_ATTR_MAX_ROWS:
      return only(0, "every row is returned");
    case SQL_ATTR_MAX_LENGTH:
      return only(0, "values are returned whole");
    case SQL_ATTR_NOSCAN:
      stmt->noscan = number;
      return SQL_SUCCESS;
    case SQL_ATTR_RETRIEVE_DATA:
      return only(SQL_RD_ON, "data is retrieved");
    case SQL_ATTR_METADATA_ID:
      return only(SQL_FALSE, "catalog arguments are patterns");
    default:
      stmt->diag().Add("HYC00", "Optional feature not implemented: statement attribute " +
                                    std::to_string(attribute));
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                 SQLINTEGER, SQLINTEGER* length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  auto put = [&](auto v) {
    if (value != nullptr) std::memcpy(value, &v, sizeof v);
    if (length != nullptr) *length = sizeof v;
    return SQL_SUCCESS;
  };
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC: return put(static_cast<SQLHANDLE>(&stmt->descriptors[0]));
    case SQL_ATTR_APP_PARAM_DESC: return put(static_cast<SQLHANDLE>(&stmt->descriptors[1]));
    case SQL_ATTR_IMP_ROW_DESC: return put(static_cast<SQLHANDLE>(&stmt->descriptors[2]));
    case SQL_ATTR_IMP_PARAM_DESC: return put(static_cast<SQLHANDLE>(&stmt->descriptors[3]));
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ROWSET_SIZE:
    case SQL_ATTR_PARAMSET_SIZE:
      return put(SQLULEN{1});
    case SQL_ATTR_CURSOR_TYPE: return put(SQLULEN{SQL_CURSOR_FORWARD_ONLY});
    case SQL_ATTR_CONCURRENCY: return put(SQLULEN{SQL_CONCUR_READ_ONLY});
    case SQL_ATTR_CURSOR_SCROLLABLE: return put(SQLULEN{SQL_NONSCROLLABLE});
    case SQL_ATTR_CURSOR_SENSITIVITY: return put(SQLULEN{SQL_UNSPECIFIED});
    case SQL_ATTR_USE_BOOKMARKS: return put(SQLULEN{SQL_UB_OFF});
    case SQL_ATTR_ASYNC_ENABLE: return put(SQLULEN{SQL_ASYNC_ENABLE_OFF});
    case SQL_ATTR_ROW_BIND_TYPE: return put(SQLULEN{SQL_BIND_BY_COLUMN});
    case SQL_ATTR_ROWS_FETCHED_PTR:
      return put(static_cast<SQLPOINTER>(stmt->statement.rows_fetched));
    case SQL_ATTR_ROW_STATUS_PTR: return put(static_cast<SQLPOINTER>(stmt->statement.row_status));
    case SQL_ATTR_QUERY_TIMEOUT: return put(stmt->query_timeout);
    case SQL_ATTR_MAX_ROWS: return put(SQLULEN{0});
    case SQL_ATTR_MAX_LENGTH: return put(SQLULEN{0});
    case SQL_ATTR_NOSCAN: return put(stmt->noscan);
    case SQL_ATTR_RETRIEVE_DATA: return put(SQLULEN{SQL_RD_ON});
    case SQL_ATTR_METADATA_ID: return put(SQLULEN{SQL_FALSE});
    case SQL_ATTR_ROW_NUMBER: return put(SQLULEN{0});
    default:
      stmt->diag().Add("HY092", "Invalid attribute/option identifier: " +
                                    std::to_string(attribute));
      return SQL_ERROR;
  }
}

// No statement attribute is a text: the W twins take and give the same values.
SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                  SQLINTEGER length) {
  return SQLSetStmtAttr(handle, attribute, value, length);
}

SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT handle, SQLINTEGER attribute, SQLPOINTER value,
                                  SQLINTEGER capacity, SQLINTEGER* length) {
  return SQLGetStmtAttr(handle, attribute, value, capacity, length);
}

}  // extern "C"
