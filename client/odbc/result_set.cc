#include "client/odbc/result_set.h"

namespace tmb::odbc {

const char* TypeName(SQLSMALLINT sql_type) {
  switch (sql_type) {
    case SQL_BIGINT: return "BIGINT";
    case SQL_INTEGER: return "INTEGER";
    case SQL_SMALLINT: return "SMALLINT";
    case SQL_DOUBLE: return "DOUBLE";
    case SQL_TYPE_DATE: return "DATE";
    case SQL_TYPE_TIMESTAMP: return "TIMESTAMP";
    case SQL_VARBINARY: return "VARBINARY";
    case SQL_WVARCHAR: return "WVARCHAR";
    case SQL_CHAR: return "CHAR";
    default: return "VARCHAR";
  }
}

SQLLEN DisplaySize(const ColumnInfo& c) {
  switch (c.sql_type) {
    case SQL_BIGINT: return 20;
    case SQL_INTEGER: return 11;
    case SQL_SMALLINT: return 6;
    case SQL_DOUBLE: return 24;
    case SQL_TYPE_DATE: return 10;
    case SQL_TYPE_TIMESTAMP: return 19;
    case SQL_VARBINARY: return static_cast<SQLLEN>(c.size * 2);
    default: return static_cast<SQLLEN>(c.size);
  }
}

SQLLEN OctetLength(const ColumnInfo& c) {
  switch (c.sql_type) {
    case SQL_BIGINT: return 8;
    case SQL_INTEGER: return 4;
    case SQL_SMALLINT: return 2;
    case SQL_DOUBLE: return 8;
    case SQL_TYPE_DATE: return 6;
    case SQL_TYPE_TIMESTAMP: return 16;
    case SQL_WVARCHAR: return static_cast<SQLLEN>(c.size * 2);
    default: return static_cast<SQLLEN>(c.size);
  }
}

}  // namespace tmb::odbc
