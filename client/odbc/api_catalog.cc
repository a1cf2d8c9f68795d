// Entry points for the catalog functions: the catalog's tables, columns,
// keys and the SQL types the driver speaks.
#include "client/odbc/catalog.h"
#include "client/odbc/handles.h"

using namespace tmb::odbc;

namespace {

// The catalog's tables are the connection's: none once it has closed.
bool Connected(Stmt* stmt) {
  if (stmt->dbc->connected()) return true;
  stmt->diag().Add("08003", "Connection not open");
  return false;
}

bool NeedTable(Stmt* stmt, const void* table) {
  if (table != nullptr) return true;
  stmt->diag().Add("HY009", "Invalid use of null pointer: a table name is required");
  return false;
}

SQLRETURN Tables(Width width, SQLHSTMT handle, const void* catalog, SQLSMALLINT catalog_length,
                 const void* schema, SQLSMALLINT schema_length, const void* table,
                 SQLSMALLINT table_length, const void* types, SQLSMALLINT types_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogTables(
      *s.tables, s.catalog, OptionalArg(width, catalog, catalog_length),
      OptionalArg(width, schema, schema_length), OptionalArg(width, table, table_length),
      OptionalArg(width, types, types_length)));
  return SQL_SUCCESS;
}

SQLRETURN Columns(Width width, SQLHSTMT handle, const void* catalog, SQLSMALLINT catalog_length,
                  const void* schema, SQLSMALLINT schema_length, const void* table,
                  SQLSMALLINT table_length, const void* column, SQLSMALLINT column_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogColumns(
      *s.tables, s.catalog, OptionalArg(width, catalog, catalog_length),
      OptionalArg(width, schema, schema_length), OptionalArg(width, table, table_length),
      OptionalArg(width, column, column_length)));
  return SQL_SUCCESS;
}

SQLRETURN Statistics(Width width, SQLHSTMT handle, const void* catalog,
                     SQLSMALLINT catalog_length, const void* schema, SQLSMALLINT schema_length,
                     const void* table, SQLSMALLINT table_length, SQLUSMALLINT unique) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt) || !NeedTable(stmt, table)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogStatistics(*s.tables, s.catalog,
                                            OptionalArg(width, catalog, catalog_length),
                                            OptionalArg(width, schema, schema_length),
                                            TextArg(width, table, table_length),
                                            unique == SQL_INDEX_UNIQUE));
  return SQL_SUCCESS;
}

SQLRETURN PrimaryKeys(Width width, SQLHSTMT handle, const void* catalog,
                      SQLSMALLINT catalog_length, const void* schema, SQLSMALLINT schema_length,
                      const void* table, SQLSMALLINT table_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt) || !NeedTable(stmt, table)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogPrimaryKeys(*s.tables, s.catalog,
                                             OptionalArg(width, catalog, catalog_length),
                                             OptionalArg(width, schema, schema_length),
                                             TextArg(width, table, table_length)));
  return SQL_SUCCESS;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLTables(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                            SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                            SQLSMALLINT table_length, SQLCHAR* types, SQLSMALLINT types_length) {
  return Tables(Width::kNarrow, handle, catalog, catalog_length, schema, schema_length, table,
                table_length, types, types_length);
}

SQLRETURN SQL_API SQLTablesW(SQLHSTMT handle, SQLWCHAR* catalog, SQLSMALLINT catalog_length,
                             SQLWCHAR* schema, SQLSMALLINT schema_length, SQLWCHAR* table,
                             SQLSMALLINT table_length, SQLWCHAR* types,
                             SQLSMALLINT types_length) {
  return Tables(Width::kWide, handle, catalog, catalog_length, schema, schema_length, table,
                table_length, types, types_length);
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                             SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                             SQLSMALLINT table_length, SQLCHAR* column,
                             SQLSMALLINT column_length) {
  return Columns(Width::kNarrow, handle, catalog, catalog_length, schema, schema_length, table,
                 table_length, column, column_length);
}

SQLRETURN SQL_API SQLColumnsW(SQLHSTMT handle, SQLWCHAR* catalog, SQLSMALLINT catalog_length,
                              SQLWCHAR* schema, SQLSMALLINT schema_length, SQLWCHAR* table,
                              SQLSMALLINT table_length, SQLWCHAR* column,
                              SQLSMALLINT column_length) {
  return Columns(Width::kWide, handle, catalog, catalog_length, schema, schema_length, table,
                 table_length, column, column_length);
}

SQLRETURN SQL_API SQLStatistics(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                                SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                                SQLSMALLINT table_length, SQLUSMALLINT unique, SQLUSMALLINT) {
  return Statistics(Width::kNarrow, handle, catalog, catalog_length, schema, schema_length, table,
                    table_length, unique);
}

SQLRETURN SQL_API SQLStatisticsW(SQLHSTMT handle, SQLWCHAR* catalog, SQLSMALLINT catalog_length,
                                 SQLWCHAR* schema, SQLSMALLINT schema_length, SQLWCHAR* table,
                                 SQLSMALLINT table_length, SQLUSMALLINT unique, SQLUSMALLINT) {
  return Statistics(Width::kWide, handle, catalog, catalog_length, schema, schema_length, table,
                    table_length, unique);
}

SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                                 SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                                 SQLSMALLINT table_length) {
  return PrimaryKeys(Width::kNarrow, handle, catalog, catalog_length, schema, schema_length,
                     table, table_length);
}

SQLRETURN SQL_API SQLPrimaryKeysW(SQLHSTMT handle, SQLWCHAR* catalog, SQLSMALLINT catalog_length,
                                  SQLWCHAR* schema, SQLSMALLINT schema_length, SQLWCHAR* table,
                                  SQLSMALLINT table_length) {
  return PrimaryKeys(Width::kWide, handle, catalog, catalog_length, schema, schema_length, table,
                     table_length);
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT handle, SQLSMALLINT type) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->statement.SetRows(CatalogTypeInfo(type));
  return SQL_SUCCESS;
}

// No text goes in; the rows' texts go out through SQLGetData in the C type asked for.
SQLRETURN SQL_API SQLGetTypeInfoW(SQLHSTMT handle, SQLSMALLINT type) {
  return SQLGetTypeInfo(handle, type);
}

}  // extern "C"
