// Statements over a plain in-memory SQLite database with ordinary tables
// and the declared tables that describe them, as a catalog would: results,
// parameters, SQLSTATEs, transactions and the catalog functions' rows.
#include "client/odbc/statement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>

#include "client/odbc/catalog.h"
#include "client/sql/result_codes.h"

namespace tmb::odbc {
namespace {

std::vector<sql::Table> ShopTables() {
  sql::Table customers;
  customers.name = "customers";
  customers.file = "customers.tmb";
  customers.columns = {{"id", sql::ColumnType::kInteger, "INTEGER", 0, 4, false},
                       {"name", sql::ColumnType::kText, "CHAR", 4, 40, false},
                       {"since", sql::ColumnType::kDate, "DATE", 44, 8, true}};
  sql::Key by_id;
  by_id.number = 0;
  by_id.name = "by_id";
  by_id.unique = true;
  by_id.segments = {{0, 0, 4, false}};
  sql::Key by_name;
  by_name.number = 1;
  by_name.name = "by_name";
  by_name.segments = {{1, 4, 40, true}};
  customers.keys = {by_id, by_name};
  sql::Table orders;
  orders.name = "orders";
  orders.file = "orders.tmb";
  orders.columns = {{"id", sql::ColumnType::kInteger, "INTEGER", 0, 4, false},
                    {"customer_id", sql::ColumnType::kInteger, "INTEGER", 4, 4, false},
                    {"note", sql::ColumnType::kText, "CHAR", 8, 20, true}};
  sql::Key order_id;
  order_id.name = "by_id";
  order_id.unique = true;
  order_id.segments = {{0, 0, 4, false}};
  orders.keys = {order_id};
  return {orders, customers};  // out of order: the catalog sorts
}

class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_,
                           "CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL,"
                           " since DATE);"
                           "CREATE TABLE orders(id INTEGER PRIMARY KEY, customer_id INTEGER,"
                           " note TEXT);"
                           "INSERT INTO customers VALUES(1,'Ada Lovelace','2020-01-15'),"
                           "(2,'Charles Babbage',NULL),(3,'Grace Hopper','2021-06-30');"
                           "INSERT INTO orders VALUES(10,1,'first'),(11,1,NULL),(12,3,'x');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    tables_ = ShopTables();
    session_.db = db_;
    session_.tables = &tables_;
    session_.catalog = "Demo";
  }
  void TearDown() override { sqlite3_close(db_); }

  int64_t Count(const char* table) {
    Statement s(&session_);
    EXPECT_EQ(s.ExecDirect(std::string("SELECT COUNT(*) FROM ") + table), SQL_SUCCESS);
    EXPECT_EQ(s.Fetch(), SQL_SUCCESS);
    int64_t n = -1;
    SQLLEN ind = 0;
    EXPECT_EQ(s.GetData(1, SQL_C_SBIGINT, &n, 0, &ind), SQL_SUCCESS);
    return n;
  }
  std::string State(Statement& s) {
    return s.diag().empty() ? "" : s.diag().records().back().state;
  }

  sqlite3* db_ = nullptr;
  std::vector<sql::Table> tables_;
  Session session_;
};

TEST_F(StatementTest, JoinWithParametersDescribesAndReadsColumns) {
  Statement s(&session_);
  ASSERT_EQ(s.Prepare("SELECT c.name, o.id, o.note, c.since, COUNT(*) OVER () AS n"
                      " FROM orders o JOIN customers c ON c.id = o.customer_id"
                      " WHERE c.id = ? ORDER BY o.id"),
            SQL_SUCCESS);
  SQLSMALLINT params = 0;
  ASSERT_EQ(s.NumParams(&params), SQL_SUCCESS);
  EXPECT_EQ(params, 1);
  int32_t id = 1;
  ASSERT_EQ(s.BindParameter(1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, nullptr),
            SQL_SUCCESS);
  ASSERT_EQ(s.Execute(), SQL_SUCCESS);
  SQLSMALLINT cols = 0;
  s.NumResultCols(&cols);
  ASSERT_EQ(cols, 5);
  // Columns of declared tables take the declared width and kind.
  EXPECT_EQ(s.Column(1)->sql_type, SQL_VARCHAR);
  EXPECT_EQ(s.Column(1)->size, 40u);
  EXPECT_EQ(s.Column(1)->table, "customers");
  EXPECT_EQ(s.Column(2)->sql_type, SQL_BIGINT);
  EXPECT_EQ(s.Column(3)->nullable, SQL_NULLABLE);
  EXPECT_EQ(s.Column(4)->sql_type, SQL_TYPE_DATE);
  // An expression takes its type from the first row.
  EXPECT_EQ(s.Column(5)->name, "n");
  EXPECT_EQ(s.Column(5)->sql_type, SQL_BIGINT);
  EXPECT_EQ(s.Column(6), nullptr);
  EXPECT_EQ(State(s), "07009");

  // Column 2 bound; the others read with SQLGetData.
  int64_t order = 0;
  SQLLEN order_ind = 0;
  SQLULEN fetched = 9;
  s.rows_fetched = &fetched;
  ASSERT_EQ(s.BindCol(2, SQL_C_SBIGINT, &order, 0, &order_ind), SQL_SUCCESS);
  std::vector<std::string> rows;
  SQLRETURN rc;
  while ((rc = s.Fetch()) == SQL_SUCCESS) {
    EXPECT_EQ(fetched, 1u);
    char name[64];
    char note[8];
    SQLLEN ind = 0;
    ASSERT_EQ(s.GetData(1, SQL_C_CHAR, name, sizeof name, &ind), SQL_SUCCESS);
    EXPECT_EQ(s.GetData(1, SQL_C_CHAR, name, sizeof name, &ind), SQL_NO_DATA);
    ASSERT_TRUE(SQL_SUCCEEDED(s.GetData(3, SQL_C_CHAR, note, sizeof note, &ind)));
    SQL_DATE_STRUCT since{};
    SQLLEN since_ind = 0;
    ASSERT_EQ(s.GetData(4, SQL_C_TYPE_DATE, &since, 0, &since_ind), SQL_SUCCESS);
    EXPECT_EQ(since.year, 2020);
    rows.push_back(std::string(name) + "/" + std::to_string(order) + "/" +
                   (ind == SQL_NULL_DATA ? "null" : note));
  }
  EXPECT_EQ(rc, SQL_NO_DATA);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(rows, (std::vector<std::string>{"Ada Lovelace/10/first", "Ada Lovelace/11/null"}));
  // Past the end there stays no data; it does not start over.
  EXPECT_EQ(s.Fetch(), SQL_NO_DATA);
  SQLLEN count = 0;
  s.RowCount(&count);
  EXPECT_EQ(count, -1);

  // Executed again with another value, the same statement finds other rows.
  id = 3;
  s.Unbind();
  ASSERT_EQ(s.Execute(), SQL_SUCCESS);
  ASSERT_EQ(s.Fetch(), SQL_SUCCESS);
  int64_t only = 0;
  SQLLEN ind = 0;
  s.GetData(2, SQL_C_SBIGINT, &only, 0, &ind);
  EXPECT_EQ(only, 12);
  EXPECT_EQ(s.Fetch(), SQL_NO_DATA);
}

TEST_F(StatementTest, LongTextInPiecesAndTruncatedBoundColumns) {
  Statement s(&session_);
  ASSERT_EQ(s.ExecDirect("SELECT name FROM customers WHERE id = 2"), SQL_SUCCESS);
  char small[6];
  SQLLEN ind = 0;
  ASSERT_EQ(s.BindCol(1, SQL_C_CHAR, small, sizeof small, &ind), SQL_SUCCESS);
  EXPECT_EQ(s.Fetch(), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(State(s), "01004");
  EXPECT_STREQ(small, "Charl");
  EXPECT_EQ(ind, 15);
  // SQLGetData on the same column starts from the beginning, in pieces.
  std::string whole;
  SQLRETURN rc;
  while ((rc = s.GetData(1, SQL_C_CHAR, small, sizeof small, &ind)) != SQL_NO_DATA) {
    ASSERT_TRUE(SQL_SUCCEEDED(rc));
    whole += small;
  }
  EXPECT_EQ(whole, "Charles Babbage");
}

TEST_F(StatementTest, FailuresCarryTheStatesApplicationsTestFor) {
  struct Case {
    const char* sql;
    const char* state;
  } cases[] = {
      {"INSERT INTO customers(id, name) VALUES (1, 'again')", "23000"},
      {"SELECT * FROM nowhere", "42S02"},
      {"SELECT missing FROM customers", "42S22"},
      {"SELEC name FROM customers", "42000"},
      {"SELECT 1; SELECT 2", "42000"},
      {"INSERT INTO customers(id) VALUES (7)", "23000"},  // NOT NULL
  };
  for (const Case& c : cases) {
    Statement s(&session_);
    EXPECT_EQ(s.ExecDirect(c.sql), SQL_ERROR) << c.sql;
    EXPECT_EQ(State(s), c.state) << c.sql;
    ASSERT_FALSE(s.diag().empty());
    EXPECT_EQ(s.diag().records().back().message.rfind("[tmbodbc] ", 0), 0u);
  }
  EXPECT_EQ(Count("customers"), 3);

  Session closed;  // a connection that is gone: no SQLite connection under it
  Statement orphan(&closed);
  EXPECT_EQ(orphan.ExecDirect("SELECT 1"), SQL_ERROR);
  EXPECT_EQ(State(orphan), "08003");

  Statement s(&session_);
  EXPECT_EQ(s.Execute(), SQL_ERROR);
  EXPECT_EQ(State(s), "HY010");
  EXPECT_EQ(s.Fetch(), SQL_ERROR);
  EXPECT_EQ(State(s), "24000");
  ASSERT_EQ(s.Prepare("SELECT * FROM customers WHERE id = ? AND name = ?"), SQL_SUCCESS);
  int32_t id = 1;
  s.BindParameter(1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, nullptr);
  EXPECT_EQ(s.Execute(), SQL_ERROR);
  EXPECT_EQ(State(s), "07002");
  ASSERT_EQ(s.ExecDirect("UPDATE customers SET name = name || '!' WHERE id >= 2"), SQL_SUCCESS);
  EXPECT_EQ(s.Fetch(), SQL_ERROR);
  EXPECT_EQ(State(s), "24000");
  SQLLEN changed = 0;
  s.RowCount(&changed);
  EXPECT_EQ(changed, 2);
  char buf[4];
  SQLLEN ind = 0;
  s.ResetParams();
  ASSERT_EQ(s.ExecDirect("SELECT 'abc' || ?"), SQL_ERROR);  // bindings were let go
  EXPECT_EQ(State(s), "07002");
  ASSERT_EQ(s.ExecDirect("SELECT 12345678901"), SQL_SUCCESS);
  EXPECT_EQ(s.GetData(1, SQL_C_CHAR, buf, sizeof buf, &ind), SQL_ERROR);  // before any fetch
  EXPECT_EQ(State(s), "24000");
  ASSERT_EQ(s.Fetch(), SQL_SUCCESS);
  int32_t small = 0;
  EXPECT_EQ(s.GetData(1, SQL_C_SLONG, &small, 0, &ind), SQL_ERROR);
  EXPECT_EQ(State(s), "22003");
}

// A failure in the words of a connection that is gone marks the session
// dead, whichever statement met it; other failures do not.
TEST_F(StatementTest, ALostServerMarksTheSessionDead) {
  auto fail = [](sqlite3_context* c, int, sqlite3_value** v) {
    sqlite3_result_error(c, reinterpret_cast<const char*>(sqlite3_value_text(v[0])), -1);
  };
  ASSERT_EQ(sqlite3_create_function(db_, "fail", 1, SQLITE_UTF8, nullptr, fail, nullptr, nullptr),
            SQLITE_OK);
  Statement s(&session_);
  EXPECT_EQ(s.ExecDirect("SELECT fail('record locked by another client')"), SQL_ERROR);
  EXPECT_EQ(State(s), "HY000");
  EXPECT_FALSE(session_.lost);
  EXPECT_EQ(s.ExecDirect("SELECT id, fail('the server closed the connection') FROM customers"),
            SQL_ERROR);
  EXPECT_EQ(State(s), "08S01");
  EXPECT_TRUE(session_.lost);
}

TEST_F(StatementTest, ManualCommitBeginsOnFirstStatementAndEndsOnRequest) {
  session_.autocommit = false;
  Diagnostics d;
  {
    Statement s(&session_);
    ASSERT_EQ(s.ExecDirect("INSERT INTO orders VALUES (20, 2, 'r')"), SQL_SUCCESS);
    EXPECT_TRUE(session_.InTransaction());
    ASSERT_EQ(s.ExecDirect("DELETE FROM orders WHERE id = 10"), SQL_SUCCESS);
  }
  EXPECT_EQ(Count("orders"), 3);  // 3 + 1 - 1, inside the transaction
  ASSERT_TRUE(session_.EndTransaction(false, &d));
  EXPECT_FALSE(session_.InTransaction());
  EXPECT_EQ(Count("orders"), 3);
  {
    Statement s(&session_);
    ASSERT_EQ(s.ExecDirect("DELETE FROM orders WHERE id = 10"), SQL_SUCCESS);
  }
  ASSERT_TRUE(session_.EndTransaction(true, &d));
  // After the rollback the row was back; after the commit it is gone for good.
  session_.autocommit = true;
  EXPECT_EQ(Count("orders"), 2);
  EXPECT_FALSE(session_.InTransaction());
  EXPECT_TRUE(session_.EndTransaction(true, &d));  // nothing open: nothing to do
  EXPECT_TRUE(d.empty());
}

TEST_F(StatementTest, CatalogRowsFollowPatternsAndOrder) {
  auto text = [](const Value& v) { return v.kind == Value::kNull ? "<null>" : v.bytes; };
  Rows all = CatalogTables(tables_, "Demo", std::nullopt, std::nullopt, std::nullopt,
                           std::nullopt);
  ASSERT_EQ(all.rows.size(), 2u);
  EXPECT_EQ(all.rows[0][2].bytes, "customers");
  EXPECT_EQ(all.rows[1][2].bytes, "orders");
  EXPECT_EQ(all.rows[0][0].bytes, "Demo");
  EXPECT_EQ(all.rows[0][3].bytes, "TABLE");
  EXPECT_EQ(CatalogTables(tables_, "Demo", std::nullopt, std::nullopt, "ORD%", std::nullopt)
                .rows.size(),
            1u);
  EXPECT_EQ(CatalogTables(tables_, "Demo", "Other", std::nullopt, "%", std::nullopt).rows.size(),
            0u);
  EXPECT_EQ(CatalogTables(tables_, "Demo", std::nullopt, std::nullopt, "%", "'VIEW'").rows.size(),
            0u);
  EXPECT_EQ(
      CatalogTables(tables_, "Demo", std::nullopt, std::nullopt, "%", "'TABLE','VIEW'").rows.size(),
      2u);
  Rows cats = CatalogTables(tables_, "Demo", std::string("%"), "", "", std::nullopt);
  ASSERT_EQ(cats.rows.size(), 1u);
  EXPECT_EQ(cats.rows[0][0].bytes, "Demo");
  EXPECT_TRUE(MatchPattern("cust\\_%", "cust_x"));
  EXPECT_FALSE(MatchPattern("cust\\_%", "custAx"));
  EXPECT_TRUE(MatchPattern("o_d%", "orders"));

  Rows cols = CatalogColumns(tables_, "Demo", std::nullopt, std::nullopt, "%", "%i%");
  std::vector<std::string> names;
  for (const auto& r : cols.rows) {
    ASSERT_EQ(r.size(), 18u);
    names.push_back(r[2].bytes + "." + r[3].bytes + ":" + r[5].bytes + ":" +
                    std::to_string(r[6].integer) + ":" + std::to_string(r[16].integer));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"customers.id:BIGINT:19:1",
                                             "customers.since:DATE:10:3",
                                             "orders.id:BIGINT:19:1",
                                             "orders.customer_id:BIGINT:19:2"}));

  Rows stats = CatalogStatistics(tables_, "Demo", std::nullopt, std::nullopt, "CUSTOMERS", false);
  ASSERT_EQ(stats.rows.size(), 3u);  // the table row, then by_id, then by_name
  EXPECT_EQ(stats.rows[0][6].integer, SQL_TABLE_STAT);
  EXPECT_EQ(text(stats.rows[1][5]) + ":" + text(stats.rows[1][8]) + ":" + text(stats.rows[1][9]),
            "by_id:id:A");
  EXPECT_EQ(stats.rows[1][3].integer, SQL_FALSE);
  EXPECT_EQ(text(stats.rows[2][5]) + ":" + text(stats.rows[2][9]), "by_name:D");
  EXPECT_EQ(CatalogStatistics(tables_, "Demo", std::nullopt, std::nullopt, "customers", true)
                .rows.size(),
            2u);
  Rows pk = CatalogPrimaryKeys(tables_, "Demo", std::nullopt, std::nullopt, "orders");
  ASSERT_EQ(pk.rows.size(), 1u);
  EXPECT_EQ(pk.rows[0][3].bytes, "id");
  EXPECT_EQ(pk.rows[0][4].integer, 1);
  EXPECT_TRUE(CatalogPrimaryKeys(tables_, "Demo", std::nullopt, std::nullopt, "none").rows.empty());

  // Through a statement, the rows read like any result and then end.
  Statement s(&session_);
  s.SetRows(CatalogTypeInfo(SQL_VARCHAR));
  ASSERT_EQ(s.Fetch(), SQL_SUCCESS);
  char name[16];
  SQLLEN ind = 0;
  ASSERT_EQ(s.GetData(1, SQL_C_CHAR, name, sizeof name, &ind), SQL_SUCCESS);
  EXPECT_STREQ(name, "VARCHAR");
  int32_t size = 0;
  ASSERT_EQ(s.GetData(3, SQL_C_SLONG, &size, 0, &ind), SQL_SUCCESS);
  EXPECT_GT(size, 255);
  EXPECT_EQ(s.Fetch(), SQL_NO_DATA);
  Rows types = CatalogTypeInfo(SQL_ALL_TYPES);
  for (size_t i = 1; i < types.rows.size(); ++i) {
    EXPECT_LT(types.rows[i - 1][1].integer, types.rows[i][1].integer);
  }
}

TEST(DiagnosticsTest, StatesForServerFailuresAndCutTexts) {
  // What the SQL view's virtual tables report, by SQLite's (extended) codes.
  EXPECT_STREQ(StateForSqlite(SQLITE_CONSTRAINT, "duplicate key in customers", false), "23000");
  EXPECT_STREQ(StateForSqlite(SQLITE_CONSTRAINT_PRIMARYKEY, "", false), "23000");
  EXPECT_STREQ(StateForSqlite(SQLITE_IOERR_READ, "connection lost", false), "08S01");
  EXPECT_STREQ(StateForSqlite(SQLITE_BUSY, "record locked", false), "40001");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "the server closed the connection", false), "08S01");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "not connected", false), "08S01");
  EXPECT_STREQ(StateForSqlite(SQLITE_INTERRUPT, "interrupted", false), "HY008");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "near \"x\": syntax error", true), "42000");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "server status 22", false), "HY000");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "no such table: t", false), "42S02");
  // Each refusal of a write by its code alone, whatever the message says.
  const struct {
    int code;
    const char* state;
  } refusals[] = {{sql::kResultNotNull, "23000"},    {sql::kResultDuplicateKey, "23000"},
                  {sql::kResultTooLong, "22001"},    {sql::kResultOutOfRange, "22003"},
                  {sql::kResultNotADate, "22007"},   {sql::kResultNotANumber, "22018"},
                  {sql::kResultConflict, "40001"}};
  for (const auto& r : refusals) {
    EXPECT_STREQ(StateForSqlite(r.code, "orders: column x: duplicate", false), r.state) << r.code;
  }
  // A read meets another client's hold with the server's status at the end
  // of the view's message; a message merely speaking of locks is no conflict.
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "orders: reading: the file is held by another "
                                            "client's transaction (-7)", false),
               "40001");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "t: key k: the record is locked by another client (-6)",
                              false),
               "40001");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "t: reading: status -70 (-70)", false), "HY000");
  EXPECT_STREQ(StateForSqlite(SQLITE_ERROR, "a duplicate of the report", false), "HY000");
  EXPECT_STREQ(ClassOrigin("42"), "ISO 9075");
  EXPECT_STREQ(ClassOrigin("42S02"), "ODBC 3.0");
  EXPECT_STREQ(ClassOrigin("HY000"), "ODBC 3.0");
  Diagnostics d;
  d.Add("01004", "cut");
  d.Add("23000", "dup", 19);
  ASSERT_EQ(d.records().size(), 2u);
  EXPECT_EQ(d.records()[1].native, 19);
  EXPECT_EQ(d.records()[0].message, "[tmbodbc] cut");
  d.Clear();
  EXPECT_TRUE(d.empty());

  char buf[4];
  long full = 0;
  EXPECT_TRUE(CopyText("abcdef", buf, sizeof buf, &full));
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(full, 6);
  EXPECT_FALSE(CopyText("abc", buf, sizeof buf, &full));
  EXPECT_STREQ(buf, "abc");
  EXPECT_FALSE(CopyText("abcdef", nullptr, 0, &full));  // asks for the length only
  EXPECT_EQ(full, 6);
  buf[0] = 'x';
  EXPECT_TRUE(CopyText("abcdef", buf, 0, &full));  // no room at all: untouched
  EXPECT_EQ(buf[0], 'x');
}

}  // namespace
}  // namespace tmb::odbc
