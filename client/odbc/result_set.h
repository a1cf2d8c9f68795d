// What a statement's result looks like to the application: its columns'
// descriptions, and rows held in memory for the results the driver makes
// itself (the catalog functions). Contract: a Rows result has exactly
// columns.size() values in every row; the SQL types are ODBC's.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "client/odbc/value.h"

namespace tmb::odbc {

struct ColumnInfo {
  std::string name;
  SQLSMALLINT sql_type = SQL_VARCHAR;
  SQLULEN size = 0;          // characters, digits or bytes, as ODBC's column size
  SQLSMALLINT digits = 0;    // decimal digits
  SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
  std::string table;         // base table, empty for an expression
  std::string base_column;   // column of the base table, empty for an expression
};

struct Rows {
  std::vector<ColumnInfo> columns;
  std::vector<std::vector<Value>> rows;
};

// ODBC's type name of an SQL type as the driver reports it (BIGINT, ...).
const char* TypeName(SQLSMALLINT sql_type);
// Characters a value of the column needs when shown as text.
SQLLEN DisplaySize(const ColumnInfo& column);
// Bytes a value takes in its default C type.
SQLLEN OctetLength(const ColumnInfo& column);

}  // namespace tmb::odbc
