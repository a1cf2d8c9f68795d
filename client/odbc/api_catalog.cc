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

bool NeedTable(Stmt* stmt, const SQLCHAR* table) {
  if (table != nullptr) return true;
  stmt->diag().Add("HY009", "Invalid use of null pointer: a table name is required");
  return false;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLTables(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                            SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                            SQLSMALLINT table_length, SQLCHAR* types, SQLSMALLINT types_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogTables(*s.tables, s.catalog, OptionalArg(catalog, catalog_length),
                                        OptionalArg(schema, schema_length),
                                        OptionalArg(table, table_length),
                                        OptionalArg(types, types_length)));
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLColumns(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                             SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                             SQLSMALLINT table_length, SQLCHAR* column,
                             SQLSMALLINT column_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogColumns(
      *s.tables, s.catalog, OptionalArg(catalog, catalog_length),
      OptionalArg(schema, schema_length), OptionalArg(table, table_length),
      OptionalArg(column, column_length)));
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLStatistics(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                                SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                                SQLSMALLINT table_length, SQLUSMALLINT unique, SQLUSMALLINT) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt) || !NeedTable(stmt, table)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogStatistics(*s.tables, s.catalog,
                                            OptionalArg(catalog, catalog_length),
                                            OptionalArg(schema, schema_length),
                                            TextArg(table, table_length),
                                            unique == SQL_INDEX_UNIQUE));
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT handle, SQLCHAR* catalog, SQLSMALLINT catalog_length,
                                 SQLCHAR* schema, SQLSMALLINT schema_length, SQLCHAR* table,
                                 SQLSMALLINT table_length) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (!Connected(stmt) || !NeedTable(stmt, table)) return SQL_ERROR;
  const Session& s = stmt->dbc->session;
  stmt->statement.SetRows(CatalogPrimaryKeys(*s.tables, s.catalog,
                                             OptionalArg(catalog, catalog_length),
                                             OptionalArg(schema, schema_length),
                                             TextArg(table, table_length)));
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT handle, SQLSMALLINT type) {
  Stmt* stmt = StmtEntry(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->statement.SetRows(CatalogTypeInfo(type));
  return SQL_SUCCESS;
}

}  // extern "C"
