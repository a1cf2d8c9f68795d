// SQLGetInfo: what the driver and the server's SQL can do.
#include <cstring>
#include <variant>

#include "client/odbc/handles.h"

using namespace tmb::odbc;

namespace {

using Info = std::variant<std::monostate, std::string, SQLUSMALLINT, SQLUINTEGER>;

Info InfoOf(const Dbc& dbc, SQLUSMALLINT type) {
  auto u16 = [](unsigned v) { return Info(static_cast<SQLUSMALLINT>(v)); };
  auto u32 = [](unsigned long v) { return Info(static_cast<SQLUINTEGER>(v)); };
  switch (type) {
    case SQL_DRIVER_NAME: return std::string("libtmbodbc.so");
    case SQL_DRIVER_VER: return std::string("08.10.0000");
    case SQL_DRIVER_ODBC_VER: return std::string("03.00");
    case SQL_ODBC_VER: return std::string("03.00");
    case SQL_DBMS_NAME: return std::string("tmbsqlsvr");
    case SQL_DBMS_VER: return std::string("08.10.0000");
    case SQL_DATA_SOURCE_NAME: return dbc.dsn;
    case SQL_SERVER_NAME: return dbc.target.host;
    case SQL_DATABASE_NAME: return dbc.session.catalog;
    case SQL_USER_NAME: return dbc.target.user;
    case SQL_IDENTIFIER_QUOTE_CHAR: return std::string("\"");
    case SQL_CATALOG_NAME_SEPARATOR: return std::string(".");
    case SQL_CATALOG_TERM: return std::string("catalog");
    case SQL_CATALOG_NAME: return std::string("Y");
    case SQL_SCHEMA_TERM: return std::string("");
    case SQL_TABLE_TERM: return std::string("table");
    case SQL_PROCEDURE_TERM: return std::string("");
    case SQL_SEARCH_PATTERN_ESCAPE: return std::string("\\");
    case SQL_ACCESSIBLE_TABLES: return std::string("Y");
    case SQL_ACCESSIBLE_PROCEDURES: return std::string("N");
    case SQL_DATA_SOURCE_READ_ONLY:
      return std::string(dbc.access_mode == SQL_MODE_READ_ONLY ? "Y" : "N");
    case SQL_MULT_RESULT_SETS: return std::string("N");
    case SQL_MULTIPLE_ACTIVE_TXN: return std::string("N");
    case SQL_NEED_LONG_DATA_LEN: return std::string("N");
    case SQL_COLUMN_ALIAS: return std::string("Y");
    case SQL_ORDER_BY_COLUMNS_IN_SELECT: return std::string("N");
    case SQL_EXPRESSIONS_IN_ORDERBY: return std::string("Y");
    case SQL_LIKE_ESCAPE_CLAUSE: return std::string("Y");
    case SQL_OUTER_JOINS: return std::string("Y");
    case SQL_PROCEDURES: return std::string("N");
    case SQL_ROW_UPDATES: return std::string("N");
    case SQL_DESCRIBE_PARAMETER: return std::string("N");
    case SQL_INTEGRITY: return std::string("N");
    case SQL_MAX_ROW_SIZE_INCLUDES_LONG: return std::string("N");
    case SQL_SPECIAL_CHARACTERS: return std::string("");
    case SQL_KEYWORDS: return std::string("");
    case SQL_COLLATION_SEQ: return std::string("");
    case SQL_DM_VER: return std::monostate{};
    case SQL_MAX_CONCURRENT_ACTIVITIES: return u16(0);
    case SQL_MAX_DRIVER_CONNECTIONS: return u16(0);
    case SQL_TXN_CAPABLE: return u16(SQL_TC_DML);
    case SQL_CURSOR_COMMIT_BEHAVIOR: return u16(SQL_CB_CLOSE);
    case SQL_CURSOR_ROLLBACK_BEHAVIOR: return u16(SQL_CB_CLOSE);
    case SQL_MAX_COLUMN_NAME_LEN: return u16(64);
    case SQL_MAX_TABLE_NAME_LEN: return u16(64);
    case SQL_MAX_CATALOG_NAME_LEN: return u16(64);
    case SQL_MAX_SCHEMA_NAME_LEN: return u16(0);
    case SQL_MAX_CURSOR_NAME_LEN: return u16(0);
    case SQL_MAX_IDENTIFIER_LEN: return u16(128);
    case SQL_MAX_COLUMNS_IN_GROUP_BY:
    case SQL_MAX_COLUMNS_IN_ORDER_BY:
    case SQL_MAX_COLUMNS_IN_SELECT:
    case SQL_MAX_COLUMNS_IN_TABLE:
    case SQL_MAX_COLUMNS_IN_INDEX:
    case SQL_MAX_TABLES_IN_SELECT:
    case SQL_ACTIVE_ENVIRONMENTS:
      return u16(0);
    case SQL_NULL_COLLATION: return u16(SQL_NC_LOW);
    case SQL_IDENTIFIER_CASE: return u16(SQL_IC_MIXED);
    case SQL_QUOTED_IDENTIFIER_CASE: return u16(SQL_IC_MIXED);
    case SQL_CORRELATION_NAME: return u16(SQL_CN_ANY);
    case SQL_NON_NULLABLE_COLUMNS: return u16(SQL_NNC_NON_NULL);
    case SQL_CONCAT_NULL_BEHAVIOR: return u16(SQL_CB_NULL);
    case SQL_GROUP_BY: return u16(SQL_GB_NO_RELATION);
    case SQL_CATALOG_LOCATION: return u16(SQL_CL_START);
    case SQL_FILE_USAGE: return u16(SQL_FILE_NOT_SUPPORTED);
    case SQL_DEFAULT_TXN_ISOLATION: return u32(SQL_TXN_SERIALIZABLE);
    case SQL_TXN_ISOLATION_OPTION: return u32(SQL_TXN_SERIALIZABLE);
    case SQL_GETDATA_EXTENSIONS: return u32(SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER);
    case SQL_SCROLL_OPTIONS: return u32(SQL_SO_FORWARD_ONLY);
    case SQL_ODBC_INTERFACE_CONFORMANCE: return u32(SQL_OIC_CORE);
    case SQL_SQL_CONFORMANCE: return u32(SQL_SC_SQL92_ENTRY);
    case SQL_PARAM_ARRAY_ROW_COUNTS: return u32(SQL_PARC_NO_BATCH);
    case SQL_PARAM_ARRAY_SELECTS: return u32(SQL_PAS_NO_SELECT);
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1: return u32(SQL_CA1_NEXT);
    case SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2: return u32(SQL_CA2_READ_ONLY_CONCURRENCY);
    case SQL_AGGREGATE_FUNCTIONS: return u32(SQL_AF_ALL);
    case SQL_OJ_CAPABILITIES:
      return u32(SQL_OJ_LEFT | SQL_OJ_NOT_ORDERED | SQL_OJ_INNER | SQL_OJ_ALL_COMPARISON_OPS);
    case SQL_MAX_STATEMENT_LEN:
    case SQL_MAX_ROW_SIZE:
    case SQL_MAX_CHAR_LITERAL_LEN:
    case SQL_MAX_BINARY_LITERAL_LEN:
    case SQL_MAX_INDEX_SIZE:
    case SQL_CATALOG_USAGE:
    case SQL_SCHEMA_USAGE:
    case SQL_BATCH_SUPPORT:
    case SQL_BATCH_ROW_COUNT:
    case SQL_STATIC_CURSOR_ATTRIBUTES1:
    case SQL_STATIC_CURSOR_ATTRIBUTES2:
    case SQL_DYNAMIC_CURSOR_ATTRIBUTES1:
    case SQL_DYNAMIC_CURSOR_ATTRIBUTES2:
    case SQL_KEYSET_CURSOR_ATTRIBUTES1:
    case SQL_KEYSET_CURSOR_ATTRIBUTES2:
    case SQL_STRING_FUNCTIONS:
    case SQL_NUMERIC_FUNCTIONS:
    case SQL_SYSTEM_FUNCTIONS:
    case SQL_TIMEDATE_FUNCTIONS:
    case SQL_CONVERT_FUNCTIONS:
    case SQL_POS_OPERATIONS:
    case SQL_STATIC_SENSITIVITY:
    case SQL_LOCK_TYPES:
    case SQL_BOOKMARK_PERSISTENCE:
    case SQL_ASYNC_MODE:
    case SQL_MAX_ASYNC_CONCURRENT_STATEMENTS:
    case SQL_ALTER_TABLE:
    case SQL_DATETIME_LITERALS:
    case SQL_CREATE_TABLE:
    case SQL_DROP_TABLE:
    case SQL_INDEX_KEYWORDS:
    case SQL_INFO_SCHEMA_VIEWS:
    case SQL_SUBQUERIES:
    case SQL_UNION:
    case SQL_DTC_TRANSITION_COST:
    case SQL_CONVERT_BIGINT:
    case SQL_CONVERT_CHAR:
    case SQL_CONVERT_VARCHAR:
    case SQL_CONVERT_INTEGER:
    case SQL_CONVERT_DATE:
    case SQL_CONVERT_VARBINARY:
    case SQL_SQL92_PREDICATES:
    case SQL_SQL92_VALUE_EXPRESSIONS:
    case SQL_SQL92_STRING_FUNCTIONS:
    case SQL_SQL92_NUMERIC_VALUE_FUNCTIONS:
    case SQL_SQL92_DATETIME_FUNCTIONS:
    case SQL_SQL92_RELATIONAL_JOIN_OPERATORS:
    case SQL_SQL92_ROW_VALUE_CONSTRUCTOR:
    case SQL_STANDARD_CLI_CONFORMANCE:
      return u32(0);
    case SQL_CURSOR_SENSITIVITY: return u32(SQL_UNSPECIFIED);
    default: return std::monostate{};
  }
}

// Texts go out in the caller's width; their capacity and length count bytes
// either way, as for every SQLPOINTER argument.
SQLRETURN GetInfo(Width width, SQLHDBC handle, SQLUSMALLINT type, SQLPOINTER value,
                  SQLSMALLINT capacity, SQLSMALLINT* length) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  const Info info = InfoOf(*dbc, type);
  if (std::holds_alternative<std::monostate>(info)) {
    dbc->diag.Add("HY096", "Information type out of range: " + std::to_string(type));
    return SQL_ERROR;
  }
  if (const std::string* text = std::get_if<std::string>(&info)) {
    long full = 0;
    const bool cut = TextOut::Bytes(width, value, capacity).Put(*text, &full);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(full);
    if (!cut) return SQL_SUCCESS;
    dbc->diag.Add("01004", "String data, right truncated");
    return SQL_SUCCESS_WITH_INFO;
  }
  if (const SQLUSMALLINT* n = std::get_if<SQLUSMALLINT>(&info)) {
    if (value != nullptr) std::memcpy(value, n, sizeof *n);
    if (length != nullptr) *length = sizeof *n;
    return SQL_SUCCESS;
  }
  const SQLUINTEGER n = std::get<SQLUINTEGER>(info);
  if (value != nullptr) std::memcpy(value, &n, sizeof n);
  if (length != nullptr) *length = sizeof n;
  return SQL_SUCCESS;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLGetInfo(SQLHDBC handle, SQLUSMALLINT type, SQLPOINTER value,
                             SQLSMALLINT capacity, SQLSMALLINT* length) {
  return GetInfo(Width::kNarrow, handle, type, value, capacity, length);
}

SQLRETURN SQL_API SQLGetInfoW(SQLHDBC handle, SQLUSMALLINT type, SQLPOINTER value,
                              SQLSMALLINT capacity, SQLSMALLINT* length) {
  return GetInfo(Width::kWide, handle, type, value, capacity, length);
}

}  // extern "C"
