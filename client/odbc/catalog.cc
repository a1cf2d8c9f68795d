#include "client/odbc/catalog.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace tmb::odbc {

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool Match(const char* p, const char* s) {
  for (; *p != '\0'; ++p, ++s) {
    if (*p == '%') {
      for (;; ++s) {
        if (Match(p + 1, s)) return true;
        if (*s == '\0') return false;
      }
    }
    if (*s == '\0') return false;
    if (*p == '\\' && p[1] != '\0') ++p;
    else if (*p == '_') continue;
    if (std::tolower(static_cast<unsigned char>(*p)) !=
        std::tolower(static_cast<unsigned char>(*s))) {
      return false;
    }
  }
  return *s == '\0';
}

ColumnInfo Described(const char* name, SQLSMALLINT type, SQLULEN size, bool nullable) {
  ColumnInfo c;
  c.name = name;
  c.sql_type = type;
  c.size = size;
  c.nullable = nullable ? SQL_NULLABLE : SQL_NO_NULLS;
  return c;
}

ColumnInfo Text(const char* name, SQLULEN size = 64, bool nullable = true) {
  return Described(name, SQL_VARCHAR, size, nullable);
}
ColumnInfo Small(const char* name, bool nullable = true) {
  return Described(name, SQL_SMALLINT, 5, nullable);
}
ColumnInfo Int(const char* name, bool nullable = true) {
  return Described(name, SQL_INTEGER, 10, nullable);
}

// A catalog argument names this connection's catalog, or nothing at all.
bool CatalogMatches(const Arg& arg, const std::string& catalog) {
  return !arg || arg->empty() || SameName(*arg, catalog);
}

// No table lives in a schema: only an absent, empty or all-matching
// schema argument finds any.
bool SchemaMatches(const Arg& arg) { return !arg || arg->empty() || MatchPattern(*arg, ""); }

std::vector<const sql::Table*> Sorted(const std::vector<sql::Table>& tables) {
  std::vector<const sql::Table*> out;
  for (const auto& t : tables) out.push_back(&t);
  std::sort(out.begin(), out.end(), [](const sql::Table* a, const sql::Table* b) {
    return strcasecmp(a->name.c_str(), b->name.c_str()) < 0;
  });
  return out;
}

// "'TABLE','VIEW'" or "TABLE, SYSTEM TABLE": does it ask for plain tables?
bool TypesIncludeTable(const std::string& list) {
  size_t at = 0;
  while (at <= list.size()) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    std::string word = list.substr(at, end - at);
    word.erase(std::remove_if(word.begin(), word.end(),
                              [](char c) { return c == '\'' || c == ' '; }),
               word.end());
    if (SameName(word, "TABLE") || word == "%") return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

bool MatchPattern(const std::string& pattern, const std::string& name) {
  return Match(pattern.c_str(), name.c_str());
}

ColumnInfo DescribeColumn(const sql::Table& table, const sql::Column& column) {
  ColumnInfo c;
  c.name = column.name;
  c.table = table.name;
  c.base_column = column.name;
  c.nullable = column.nullable ? SQL_NULLABLE : SQL_NO_NULLS;
  switch (column.type) {
    case sql::ColumnType::kInteger:
      c.sql_type = SQL_BIGINT;
      c.size = 19;
      break;
    case sql::ColumnType::kDate:
      c.sql_type = SQL_TYPE_DATE;
      c.size = 10;
      break;
    case sql::ColumnType::kBinary:
      c.sql_type = SQL_VARBINARY;
      c.size = static_cast<SQLULEN>(column.length > 0 ? column.length : 1);
      break;
    default:
      c.sql_type = SQL_VARCHAR;
      c.size = static_cast<SQLULEN>(column.length > 0 ? column.length : 1);
  }
  return c;
}

Rows CatalogTables(const std::vector<sql::Table>& tables, const std::string& catalog,
                   const Arg& catalog_arg, const Arg& schema, const Arg& table, const Arg& types) {
  Rows r;
  r.columns = {Text("TABLE_CAT"), Text("TABLE_SCHEM"), Text("TABLE_NAME"), Text("TABLE_TYPE"),
               Text("REMARKS", 254)};
  auto is = [](const Arg& a, const char* v) { return a && *a == v; };
  auto empty = [](const Arg& a) { return a && a->empty(); };
  if (is(catalog_arg, SQL_ALL_CATALOGS) && empty(schema) && empty(table)) {
    r.rows.push_back({Value::Text(catalog), Value::Null(), Value::Null(), Value::Null(),
                      Value::Null()});
    return r;
  }
  if (is(schema, SQL_ALL_SCHEMAS) && empty(catalog_arg) && empty(table)) return r;
  if (is(types, SQL_ALL_TABLE_TYPES) && empty(catalog_arg) && empty(schema) && empty(table)) {
    r.rows.push_back({Value::Null(), Value::Null(), Value::Null(), Value::Text("TABLE"),
                      Value::Null()});
    return r;
  }
  if (!CatalogMatches(catalog_arg, catalog) || !SchemaMatches(schema)) return r;
  if (types && !types->empty() && !TypesIncludeTable(*types)) return r;
  for (const sql::Table* t : Sorted(tables)) {
    if (table && !MatchPattern(*table, t->name)) continue;
    r.rows.push_back({Value::Text(catalog), Value::Null(), Value::Text(t->name),
                      Value::Text("TABLE"), Value::Text(t->file)});
  }
  return r;
}

Rows CatalogColumns(const std::vector<sql::Table>& tables, const std::string& catalog,
                    const Arg& catalog_arg, const Arg& schema, const Arg& table,
                    const Arg& column) {
  Rows r;
  r.columns = {Text("TABLE_CAT"),   Text("TABLE_SCHEM"),      Text("TABLE_NAME", 128, false),
               Text("COLUMN_NAME", 128, false), Small("DATA_TYPE", false),
               Text("TYPE_NAME", 128, false), Int("COLUMN_SIZE"), Int("BUFFER_LENGTH"),
               Small("DECIMAL_DIGITS"), Small("NUM_PREC_RADIX"), Small("NULLABLE", false),
               Text("REMARKS", 254), Text("COLUMN_DEF"), Small("SQL_DATA_TYPE", false),
               Small("SQL_DATETIME_SUB"), Int("CHAR_OCTET_LENGTH"),
               Int("ORDINAL_POSITION", false), Text("IS_NULLABLE", 3)};
  if (!CatalogMatches(catalog_arg, catalog) || !SchemaMatches(schema)) return r;
  for (const sql::Table* t : Sorted(tables)) {
    if (table && !MatchPattern(*table, t->name)) continue;
    for (size_t i = 0; i < t->columns.size(); ++i) {
      const sql::Column& col = t->columns[i];
      if (column && !MatchPattern(*column, col.name)) continue;
      const ColumnInfo c = DescribeColumn(*t, col);
      const bool numeric = c.sql_type == SQL_BIGINT;
      const bool date = c.sql_type == SQL_TYPE_DATE;
      const bool chars = c.sql_type == SQL_VARCHAR || c.sql_type == SQL_VARBINARY;
      r.rows.push_back({
          Value::Text(catalog), Value::Null(), Value::Text(t->name), Value::Text(col.name),
          Value::Int(c.sql_type), Value::Text(TypeName(c.sql_type)),
          Value::Int(static_cast<int64_t>(c.size)), Value::Int(OctetLength(c)),
          numeric ? Value::Int(0) : Value::Null(), numeric ? Value::Int(10) : Value::Null(),
          Value::Int(c.nullable), Value::Null(), Value::Null(),
          Value::Int(date ? SQL_DATETIME : c.sql_type), date ? Value::Int(SQL_CODE_DATE)
                                                            : Value::Null(),
          chars ? Value::Int(static_cast<int64_t>(c.size)) : Value::Null(),
          Value::Int(static_cast<int64_t>(i + 1)), Value::Text(col.nullable ? "YES" : "NO")});
    }
  }
  return r;
}

namespace {

const sql::Table* FindTable(const std::vector<sql::Table>& tables, const std::string& name) {
  for (const auto& t : tables) {
    if (SameName(t.name, name)) return &t;
  }
  return nullptr;
}

}  // namespace

Rows CatalogStatistics(const std::vector<sql::Table>& tables, const std::string& catalog,
                       const Arg& catalog_arg, const Arg& schema, const std::string& table,
                       bool unique_only) {
  Rows r;
  r.columns = {Text("TABLE_CAT"), Text("TABLE_SCHEM"), Text("TABLE_NAME", 128, false),
               Small("NON_UNIQUE"), Text("INDEX_QUALIFIER"), Text("INDEX_NAME"),
               Small("TYPE", false), Small("ORDINAL_POSITION"), Text("COLUMN_NAME"),
               Text("ASC_OR_DESC", 1), Int("CARDINALITY"), Int("PAGES"),
               Text("FILTER_CONDITION")};
  const sql::Table* t = FindTable(tables, table);
  if (t == nullptr || !CatalogMatches(catalog_arg, catalog) || !SchemaMatches(schema)) return r;
  r.rows.push_back({Value::Text(catalog), Value::Null(), Value::Text(t->name), Value::Null(),
                    Value::Null(), Value::Null(), Value::Int(SQL_TABLE_STAT), Value::Null(),
                    Value::Null(), Value::Null(), Value::Null(), Value::Null(), Value::Null()});
  // Unique keys first, as ODBC orders the rows by NON_UNIQUE, then name.
  std::vector<const sql::Key*> keys;
  for (const auto& k : t->keys) {
    if (!unique_only || k.unique) keys.push_back(&k);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const sql::Key* a, const sql::Key* b) {
    if (a->unique != b->unique) return a->unique;
    return strcasecmp(a->name.c_str(), b->name.c_str()) < 0;
  });
  for (const sql::Key* k : keys) {
    const std::string name = k->name.empty() ? "key" + std::to_string(k->number) : k->name;
    for (size_t i = 0; i < k->segments.size(); ++i) {
      const sql::KeySegment& s = k->segments[i];
      const bool named = s.column >= 0 && static_cast<size_t>(s.column) < t->columns.size();
      r.rows.push_back({Value::Text(catalog), Value::Null(), Value::Text(t->name),
                        Value::Int(k->unique ? SQL_FALSE : SQL_TRUE), Value::Null(),
                        Value::Text(name), Value::Int(SQL_INDEX_OTHER),
                        Value::Int(static_cast<int64_t>(i + 1)),
                        named ? Value::Text(t->columns[s.column].name) : Value::Null(),
                        Value::Text(s.descending ? "D" : "A"), Value::Null(), Value::Null(),
                        Value::Null()});
    }
  }
  return r;
}

Rows CatalogPrimaryKeys(const std::vector<sql::Table>& tables, const std::string& catalog,
                        const Arg& catalog_arg, const Arg& schema, const std::string& table) {
  Rows r;
  r.columns = {Text("TABLE_CAT"), Text("TABLE_SCHEM"), Text("TABLE_NAME", 128, false),
               Text("COLUMN_NAME", 128, false), Small("KEY_SEQ", false), Text("PK_NAME")};
  const sql::Table* t = FindTable(tables, table);
  if (t == nullptr || !CatalogMatches(catalog_arg, catalog) || !SchemaMatches(schema)) return r;
  if (t->keys.empty() || !t->keys[0].unique) return r;
  const sql::Key& k = t->keys[0];
  for (size_t i = 0; i < k.segments.size(); ++i) {
    const int32_t col = k.segments[i].column;
    // A key over part of a field names no column: no primary key to show.
    if (col < 0 || static_cast<size_t>(col) >= t->columns.size()) return Rows{r.columns, {}};
    r.rows.push_back({Value::Text(catalog), Value::Null(), Value::Text(t->name),
                      Value::Text(t->columns[col].name), Value::Int(static_cast<int64_t>(i + 1)),
                      k.name.empty() ? Value::Null() : Value::Text(k.name)});
  }
  return r;
}

Rows CatalogTypeInfo(SQLSMALLINT sql_type) {
  Rows r;
  r.columns = {Text("TYPE_NAME", 128, false), Small("DATA_TYPE", false), Int("COLUMN_SIZE"),
               Text("LITERAL_PREFIX"), Text("LITERAL_SUFFIX"), Text("CREATE_PARAMS"),
               Small("NULLABLE", false), Small("CASE_SENSITIVE", false),
               Small("SEARCHABLE", false), Small("UNSIGNED_ATTRIBUTE"),
               Small("FIXED_PREC_SCALE", false), Small("AUTO_UNIQUE_VALUE"),
               Text("LOCAL_TYPE_NAME"), Small("MINIMUM_SCALE"), Small("MAXIMUM_SCALE"),
               Small("SQL_DATA_TYPE", false), Small("SQL_DATETIME_SUB"),
               Int("NUM_PREC_RADIX"), Small("INTERVAL_PRECISION")};
  struct Type {
    SQLSMALLINT type;
    int64_t size;
    const char* prefix;
    const char* suffix;
    const char* params;
    SQLSMALLINT searchable;
  };
  // In DATA_TYPE order, as ODBC sorts the rows. Long texts and byte strings
  // are bound up to a mebibyte before data at execution time would be needed.
  static const Type kTypes[] = {
      {SQL_WVARCHAR, 1 << 20, "'", "'", "max length", SQL_SEARCHABLE},
      {SQL_BIGINT, 19, nullptr, nullptr, nullptr, SQL_PRED_BASIC},
      {SQL_VARBINARY, 1 << 20, "X'", "'", "max length", SQL_PRED_BASIC},
      {SQL_DOUBLE, 15, nullptr, nullptr, nullptr, SQL_PRED_BASIC},
      {SQL_VARCHAR, 1 << 20, "'", "'", "max length", SQL_SEARCHABLE},
      {SQL_TYPE_DATE, 10, "'", "'", nullptr, SQL_PRED_BASIC},
  };
  auto text = [](const char* s) { return s ? Value::Text(s) : Value::Null(); };
  for (const Type& t : kTypes) {
    if (sql_type != SQL_ALL_TYPES && sql_type != t.type) continue;
    const bool numeric = t.type == SQL_BIGINT || t.type == SQL_DOUBLE;
    const bool date = t.type == SQL_TYPE_DATE;
    const bool chars = t.type == SQL_VARCHAR || t.type == SQL_WVARCHAR;
    r.rows.push_back({Value::Text(TypeName(t.type)), Value::Int(t.type), Value::Int(t.size),
                      text(t.prefix), text(t.suffix), text(t.params), Value::Int(SQL_NULLABLE),
                      Value::Int(chars ? SQL_TRUE : SQL_FALSE), Value::Int(t.searchable),
                      numeric ? Value::Int(SQL_FALSE) : Value::Null(), Value::Int(SQL_FALSE),
                      numeric ? Value::Int(SQL_FALSE) : Value::Null(),
                      Value::Text(TypeName(t.type)), numeric ? Value::Int(0) : Value::Null(),
                      numeric ? Value::Int(0) : Value::Null(),
                      Value::Int(date ? SQL_DATETIME : t.type),
                      date ? Value::Int(SQL_CODE_DATE) : Value::Null(),
                      numeric ? Value::Int(t.type == SQL_DOUBLE ? 2 : 10) : Value::Null(),
                      Value::Null()});
  }
  return r;
}

}  // namespace tmb::odbc
