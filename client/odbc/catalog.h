// The catalog functions' result sets, made from the tables a catalog
// declares. Contract:
//
// - Each function returns the columns ODBC 3 names for the function, in its
//   order, and the rows sorted as ODBC requires.
// - Name arguments of Tables and Columns are search patterns ('%' any run,
//   '_' one character, '\' quotes the next); those of Statistics and
//   PrimaryKeys are plain names. Names compare without regard to case, as
//   SQLite's do. A null argument matches everything; a catalog argument
//   other than the connection's own catalog (or empty) matches nothing.
// - Tables answers the three enumerations ODBC defines: catalogs ('%' as
//   catalog, the rest empty), schemas and table types.
// - The SQL type of a column follows its kind: integers are BIGINT (an
//   unsigned 32-bit field does not fit INTEGER), texts VARCHAR of the
//   field's width, dates DATE, binaries VARBINARY.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/odbc/result_set.h"
#include "client/sql/database.h"

namespace tmb::odbc {

using Arg = std::optional<std::string>;  // an absent (null) argument is nullopt

bool MatchPattern(const std::string& pattern, const std::string& name);

// The column description of one declared column.
ColumnInfo DescribeColumn(const sql::Table& table, const sql::Column& column);

Rows CatalogTables(const std::vector<sql::Table>& tables, const std::string& catalog,
                   const Arg& catalog_arg, const Arg& schema, const Arg& table, const Arg& types);
Rows CatalogColumns(const std::vector<sql::Table>& tables, const std::string& catalog,
                    const Arg& catalog_arg, const Arg& schema, const Arg& table,
                    const Arg& column);
Rows CatalogStatistics(const std::vector<sql::Table>& tables, const std::string& catalog,
                       const Arg& catalog_arg, const Arg& schema, const std::string& table,
                       bool unique_only);
Rows CatalogPrimaryKeys(const std::vector<sql::Table>& tables, const std::string& catalog,
                        const Arg& catalog_arg, const Arg& schema, const std::string& table);
// SQL_ALL_TYPES (0) lists every type.
Rows CatalogTypeInfo(SQLSMALLINT sql_type);

}  // namespace tmb::odbc
