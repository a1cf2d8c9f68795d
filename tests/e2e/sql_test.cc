// End-to-end: the SQL view (client/sql) against the real server serving the
// demo shop. Expected rows come from the demo's own CSV records, never from
// the view; what a statement costs on the wire is counted by opcode.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/data_calls.h"
#include "client/session_calls.h"
#include "client/sql/database.h"
#include "client/sql/position_set.h"
#include "client/sql/result_codes.h"
#include "tests/e2e/demo_shop.h"
#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"
#include "tmbio/admin/demo_data.h"
#include "tmbio/record_text.h"
#include "tmbio/tmbio.h"
#include "wire/connection.h"
#include "wire/frame.h"
#include "wire/message_buffer.h"
#include "wire/opcodes.h"
#include "wire/primitives.h"

namespace tmb::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// One demo table's CSV records, by column name.
struct CsvTable {
  std::vector<std::string> header;
  Rows rows;
  size_t Col(const std::string& name) const {
    return static_cast<size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  }
};

CsvTable ParseCsv(const std::string& text) {
  std::istringstream in(text);
  tmbio::text::CsvReader reader(&in);
  CsvTable t;
  std::vector<std::string> fields;
  reader.Next(&t.header);
  while (reader.Next(&fields)) t.rows.push_back(fields);
  return t;
}

// YYYYMMDD as the view shows dates.
std::string Dashed(const std::string& d) {
  return d.size() == 8 ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : d;
}

// The requests of the opcodes that read records, as counted by the view.
struct Reads {
  uint64_t first = 0, next = 0, block = 0, record = 0;
  bool operator==(const Reads&) const = default;
};

Reads ReadsOf(const sql::Database& db) {
  return {db.requests(opcode::kReadFirst), db.requests(opcode::kRestrictedRead),
          db.requests(opcode::kRestrictedReadBlock), db.requests(opcode::kReadRecord)};
}

Reads Minus(const Reads& a, const Reads& b) {
  return {a.first - b.first, a.next - b.next, a.block - b.block, a.record - b.record};
}

std::ostream& operator<<(std::ostream& o, const Reads& r) {
  return o << "{first " << r.first << ", next " << r.next << ", block " << r.block << ", record "
           << r.record << "}";
}

// Runs `sql`; the rows as text ("NULL" for null), or the error, with its
// extended result code in *code.
std::string RunSql(sql::Database& db, const std::string& sql, Rows* rows = nullptr,
                   int* code = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  if (code != nullptr) *code = SQLITE_OK;
  if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    if (code != nullptr) *code = sqlite3_extended_errcode(db.handle());
    return sqlite3_errmsg(db.handle());
  }
  if (rows != nullptr) rows->clear();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const unsigned char* v = sqlite3_column_text(stmt, i);
      row.push_back(v == nullptr ? "NULL" : reinterpret_cast<const char*>(v));
    }
    if (rows != nullptr) rows->push_back(std::move(row));
  }
  std::string error = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db.handle());
  if (rc != SQLITE_DONE && code != nullptr) *code = sqlite3_extended_errcode(db.handle());
  sqlite3_finalize(stmt);
  return error;
}

class SqlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const tmbadmin::DemoCsv csv = tmbadmin::MakeDemoCsv();
    customers_ = new CsvTable(ParseCsv(csv.customers));
    orders_ = new CsvTable(ParseCsv(csv.orders));
  }
  static void TearDownTestSuite() {
    delete customers_;
    delete orders_;
  }

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(BuildDemoShop(server_.dir() + "/data", &error)) << error;
    server_.machine_hive = DemoShopHive(server_.dir() + "/data");
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
    db_ = OpenDb();
    ASSERT_NE(db_, nullptr);
  }
  void TearDown() override {
    db_.reset();
    EXPECT_EQ(server_.StopProblems(), "");
  }

  std::unique_ptr<sql::Database> OpenDb(const std::string& catalog = "Demo") {
    sql::Target t;
    t.port = server_.port();
    t.catalog = catalog;
    std::string error;
    auto db = sql::Database::Open(t, &error);
    EXPECT_NE(db, nullptr) << error;
    return db;
  }

  static std::string Run(sql::Database& db, const std::string& sql, Rows* rows = nullptr,
                         int* code = nullptr) {
    return RunSql(db, sql, rows, code);
  }
  Rows Query(const std::string& sql) { return Query(*db_, sql); }
  static Rows Query(sql::Database& db, const std::string& sql) {
    Rows rows;
    const std::string error = Run(db, sql, &rows);
    EXPECT_EQ(error, "") << sql;
    return rows;
  }
  // The reads `sql` costs on the wire.
  Reads Cost(const std::string& sql, Rows* rows) {
    const Reads before = ReadsOf(*db_);
    *rows = Query(sql);
    return Minus(ReadsOf(*db_), before);
  }
  // Whether SQLite sorts the rows of `sql` itself.
  bool Sorts(const std::string& sql) {
    const Rows plan = Query("EXPLAIN QUERY PLAN " + sql);
    for (const auto& row : plan) {
      if (row.back().find("TEMP B-TREE") != std::string::npos) return true;
    }
    return false;
  }

  static CsvTable* customers_;
  static CsvTable* orders_;
  ServerProcess server_;
  std::unique_ptr<sql::Database> db_;
};

CsvTable* SqlTest::customers_ = nullptr;
CsvTable* SqlTest::orders_ = nullptr;

TEST_F(SqlTest, TheCatalogIsDeclaredWithItsColumnsAndKeys) {
  const auto& tables = db_->tables();
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[0].name, "customers");
  EXPECT_EQ(tables[1].name, "orders");
  EXPECT_EQ(tables[2].name, "products");
  const sql::Table& orders = tables[1];
  ASSERT_EQ(orders.columns.size(), orders_->header.size());
  for (size_t i = 0; i < orders.columns.size(); ++i) {
    EXPECT_EQ(orders.columns[i].name, orders_->header[i]);
  }
  EXPECT_EQ(orders.columns[orders_->Col("ordered")].type, sql::ColumnType::kDate);
  EXPECT_EQ(orders.columns[orders_->Col("total_cents")].type, sql::ColumnType::kInteger);
  ASSERT_EQ(orders.keys.size(), 5u);
  EXPECT_TRUE(orders.keys[0].unique);
  ASSERT_EQ(orders.keys[1].segments.size(), 2u);
  EXPECT_EQ(orders.keys[1].segments[0].column, static_cast<int32_t>(orders_->Col("customer_id")));
  EXPECT_TRUE(orders.keys[1].segments[1].descending);

  Rows rows = Query("SELECT count(*) FROM customers");
  EXPECT_EQ(rows, Rows({{std::to_string(tmbadmin::kDemoCustomers)}}));
  // Another catalog name that does not exist is refused with its name.
  sql::Target t;
  t.port = server_.port();
  t.catalog = "Sales";
  std::string error;
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("no catalog named \"Sales\""), std::string::npos) << error;
  t.port = FreePort();
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("cannot connect"), std::string::npos) << error;

  // With users, the catalog needs a logon with a right password.
  ASSERT_TRUE(AddDemoUser(server_.dir() + "/data", "anna", "pw", &error)) << error;
  t.port = server_.port();
  t.catalog = "demo";
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("access denied"), std::string::npos) << error;
  t.user = "anna";
  t.password = "wrong";
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("invalid user name or password"), std::string::npos) << error;
  t.password = "pw";
  auto anna = sql::Database::Open(t, &error);
  ASSERT_NE(anna, nullptr) << error;
  EXPECT_EQ(Query(*anna, "SELECT count(*) FROM products"),
            Rows({{std::to_string(tmbadmin::kDemoProducts)}}));

  // An identity is held to its access entry on the catalog: none, read
  // only, or read and write.
  std::ofstream(server_.dir() + "/user.reg", std::ios::trunc)
      << UserHive({{"Security", TextValue("clerk/*", "[A][R][Demo][]") +
                                    TextValue("admin/*", "[A][RW][Demo][]")}});
  t.catalog = "Demo";  // the access entries name it so
  t.identity = "guest/pc9";
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("no access entry"), std::string::npos) << error;
  t.identity = "clerk/pc1";
  auto clerk = sql::Database::Open(t, &error);
  ASSERT_NE(clerk, nullptr) << error;
  EXPECT_EQ(Query(*clerk, "SELECT name FROM products WHERE id = 1").size(), 1u);
  error = Run(*clerk, "DELETE FROM products WHERE id = 1");
  EXPECT_NE(error.find("allows reading only"), std::string::npos) << error;
  EXPECT_EQ(Query(*clerk, "SELECT count(*) FROM products WHERE id = 1"), Rows({{"1"}}));
  t.identity = "admin";
  auto admin = sql::Database::Open(t, &error);
  ASSERT_NE(admin, nullptr) << error;
  EXPECT_EQ(Run(*admin, "DELETE FROM products WHERE id = 1"), "");
  EXPECT_EQ(Query(*clerk, "SELECT count(*) FROM products WHERE id = 1"), Rows({{"0"}}));
}

TEST_F(SqlTest, KeyEqualityAndRangesAreKeyedReads) {
  const size_t name = customers_->Col("name"), since = customers_->Col("since"),
               company = customers_->Col("company");
  for (int id : {1, 2, 417, tmbadmin::kDemoCustomers}) {
    const auto& want = customers_->rows[static_cast<size_t>(id - 1)];
    Rows rows;
    const Reads cost = Cost(
        "SELECT name, since, company FROM customers WHERE id = " + std::to_string(id), &rows);
    EXPECT_EQ(rows, Rows({{want[name], Dashed(want[since]),
                           want[company].empty() ? "NULL" : want[company]}}))
        << id;
    // One keyed read on the wire, and nothing else that reads records.
    EXPECT_EQ(cost, (Reads{1, 0, 0, 0})) << id;
  }
  Rows rows;
  EXPECT_EQ(Cost("SELECT * FROM customers WHERE id = 99999", &rows), (Reads{1, 0, 0, 0}));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(Cost("SELECT * FROM customers WHERE id = NULL", &rows), (Reads{0, 0, 0, 0}));
  EXPECT_TRUE(rows.empty());
  // By rowid, the record's position: one direct read.
  const uint64_t direct = db_->requests(opcode::kExtReadDirect);
  EXPECT_EQ(Cost("SELECT id FROM customers WHERE rowid = 417", &rows), (Reads{0, 0, 0, 0}));
  EXPECT_EQ(rows, Rows({{"417"}}));
  EXPECT_EQ(Cost("SELECT id FROM customers WHERE rowid = 99999", &rows), (Reads{0, 0, 0, 0}));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(db_->requests(opcode::kExtReadDirect) - direct, 2u);
  EXPECT_EQ(Query("SELECT id FROM customers WHERE rowid = '3'"), Rows({{"3"}}));

  // A range reads from its lower bound and stops one record past its upper.
  Reads cost = Cost("SELECT id FROM orders WHERE id >= 100 AND id < 120", &rows);
  Rows want;
  for (int i = 100; i < 120; ++i) want.push_back({std::to_string(i)});
  EXPECT_EQ(rows, want);
  EXPECT_EQ(cost, (Reads{1, 20, 0, 0}));
  cost = Cost("SELECT id FROM orders WHERE id > 2995", &rows);
  EXPECT_EQ(rows, Rows({{"2996"}, {"2997"}, {"2998"}, {"2999"}, {"3000"}}));
  EXPECT_EQ(cost.block, 0u);

  // An equal leading segment of a key with duplicates; a date range on a
  // key's first segment; a text equality on a segment that is no nocase one.
  const size_t customer = orders_->Col("customer_id"), ordered = orders_->Col("ordered");
  const std::string who = orders_->rows[10][customer];
  std::set<std::string> ids, got;
  size_t in_january = 0;
  for (const auto& o : orders_->rows) {
    if (o[customer] == who) ids.insert(o[0]);
    if (o[ordered] >= "20240101" && o[ordered] <= "20240131") ++in_january;
  }
  cost = Cost("SELECT id FROM orders WHERE customer_id = " + who, &rows);
  for (const auto& r : rows) got.insert(r[0]);
  EXPECT_EQ(got, ids);
  EXPECT_EQ(cost, (Reads{1, ids.size(), 0, 0}));
  cost = Cost("SELECT count(*) FROM orders WHERE ordered BETWEEN '2024-01-01' AND '2024-01-31'",
              &rows);
  EXPECT_EQ(rows, Rows({{std::to_string(in_january)}}));
  EXPECT_EQ(cost, (Reads{1, in_january, 0, 0}));
  size_t in_pl = 0;
  for (const auto& c : customers_->rows) in_pl += c[customers_->Col("country")] == "PL";
  ASSERT_GT(in_pl, 0u);
  cost = Cost("SELECT count(*) FROM customers WHERE country = 'PL'", &rows);
  EXPECT_EQ(rows, Rows({{std::to_string(in_pl)}}));
  EXPECT_EQ(cost.block, 0u);
  EXPECT_EQ(cost.first, 1u);
  // Under another collation the key's byte order does not apply.
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE country = 'pl' COLLATE NOCASE"),
            Rows({{std::to_string(in_pl)}}));
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE country COLLATE NOCASE >= 'pl' AND "
                  "country COLLATE NOCASE <= 'pl'"),
            Rows({{std::to_string(in_pl)}}));

  // Values no field holds widen the read rather than narrow it: an integer
  // column compared with a text, a nocase key compared exactly.
  const auto& c417 = customers_->rows[416];
  EXPECT_EQ(Query("SELECT id FROM customers WHERE id = '417'"), Rows({{"417"}}));
  EXPECT_EQ(Query("SELECT id FROM customers WHERE name = '" + c417[name] + "' AND id = 417"),
            Rows({{"417"}}));
  size_t same_name = 0;
  for (const auto& c : customers_->rows) same_name += c[name] == c417[name];
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE name = '" + c417[name] + "'"),
            Rows({{std::to_string(same_name)}}));

  // A text another client padded with zero bytes rather than blanks reads
  // as the same text, and an equality on its key segment still finds it.
  Client raw;
  std::string error;
  bool zlib = false;
  int32_t env = 0;
  OpenedFile file;
  ASSERT_TRUE(raw.Connect("127.0.0.1", server_.port(), &error) &&
              OpenWithCompression(raw, CompressionChoiceOption::kNone, &zlib, &error) &&
              CallAllocEnv(raw, &env, &error) &&
              CallOpenFile(raw, env, "customers.tmb", 0, &file, &error))
      << error;
  ASSERT_EQ(file.record_length, 176);
  std::string record(176, '\0');
  record.replace(0, 4, std::string("\x59\x1b\0\0", 4));  // 7001
  record.replace(4, 3, "Zed");
  record.replace(108, 1, "P");
  record.replace(110, 9, "z@example");
  int32_t status = 0;
  ASSERT_TRUE(CallExtWrite(raw, file.id, record, "", 0, 0, &status, &error)) << error;
  ASSERT_GT(status, 0);
  cost = Cost("SELECT id, name FROM customers WHERE country = 'P'", &rows);
  EXPECT_EQ(rows, Rows({{"7001", "Zed"}}));
  EXPECT_EQ(cost.first, 1u);
  EXPECT_EQ(cost.block, 0u);
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE country >= 'P' AND country <= 'P'"),
            Rows({{"1"}}));
  // An update of another column keeps such fields as they are: the blank
  // date of a NOT NULL column is passed back as '' and not refused, and the
  // text keeps its zero bytes.
  EXPECT_EQ(Run(*db_, "UPDATE customers SET credit_limit = 9 WHERE id = 7001"), "");
  EXPECT_EQ(Query("SELECT name, since, credit_limit FROM customers WHERE country = 'P'"),
            Rows({{"Zed", "", "9"}}));
  const int32_t position = status;
  std::string stored;
  ASSERT_TRUE(CallExtReadDirect(raw, file.id, 176, position, &status, &stored, &error)) << error;
  ASSERT_GE(stored.size(), 176u);
  EXPECT_EQ(stored.substr(4, 40), record.substr(4, 40));
  EXPECT_EQ(stored.substr(158, 8), record.substr(158, 8));

  // Signed segments order by value: a range across zero stops at its upper
  // bound, not where the bytes of a negative number would.
  EXPECT_EQ(Run(*db_, "INSERT INTO customers (id, name, city, country, email, since, "
                      "credit_limit) VALUES (-5, 'N', 'C', 'XX', 'n@x', '2024-01-01', 0), "
                      "(-300000, 'M', 'C', 'XX', 'm@x', '2024-01-01', 0)"),
            "");
  cost = Cost("SELECT id FROM customers WHERE id BETWEEN -400000 AND 2", &rows);
  EXPECT_EQ(rows, Rows({{"-300000"}, {"-5"}, {"1"}, {"2"}}));
  EXPECT_EQ(cost, (Reads{1, 4, 0, 0}));
  EXPECT_EQ(Query("SELECT id FROM customers ORDER BY id DESC LIMIT 2"),
            Rows({{"7001"}, {std::to_string(tmbadmin::kDemoCustomers)}}));
  EXPECT_EQ(Query("SELECT id FROM customers ORDER BY id LIMIT 2"), Rows({{"-300000"}, {"-5"}}));
}

TEST_F(SqlTest, OrderByAlongAKeyIsReadInKeyOrder) {
  // Ascending along the primary key: blocks in key order, no sort.
  const std::string by_id = "SELECT id FROM orders ORDER BY id";
  EXPECT_FALSE(Sorts(by_id));
  Rows rows;
  Reads cost = Cost(by_id, &rows);
  ASSERT_EQ(rows.size(), static_cast<size_t>(tmbadmin::kDemoOrders));
  for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i][0], std::to_string(i + 1));
  EXPECT_GT(cost.block, 0u);
  EXPECT_EQ(cost.first + cost.next, 0u);

  // Backward: read from the key's end, record by record.
  const std::string down = "SELECT id FROM orders ORDER BY id DESC LIMIT 3";
  EXPECT_FALSE(Sorts(down));
  EXPECT_EQ(Query(down), Rows({{"3000"}, {"2999"}, {"2998"}}));

  // A key with a descending segment, and an equal first segment.
  const std::string by_customer =
      "SELECT customer_id, ordered FROM orders ORDER BY customer_id, ordered DESC";
  EXPECT_FALSE(Sorts(by_customer));
  rows = Query(by_customer);
  ASSERT_EQ(rows.size(), static_cast<size_t>(tmbadmin::kDemoOrders));
  for (size_t i = 1; i < rows.size(); ++i) {
    const int a = std::stoi(rows[i - 1][0]), b = std::stoi(rows[i][0]);
    ASSERT_TRUE(a < b || (a == b && rows[i - 1][1] >= rows[i][1])) << i;
  }
  const std::string one = "SELECT ordered FROM orders WHERE customer_id = 7 ORDER BY ordered DESC";
  EXPECT_FALSE(Sorts(one));
  // A range on the descending segment is left to SQLite: the rows agree.
  size_t late = 0;
  for (const auto& o : orders_->rows) {
    late += o[orders_->Col("customer_id")] == "7" && o[orders_->Col("ordered")] > "20240101";
  }
  EXPECT_EQ(Query("SELECT count(*) FROM orders WHERE customer_id = 7 AND ordered > '2024-01-01'"),
            Rows({{std::to_string(late)}}));

  // by_shipped is sparse: orders not shipped are not in it, so it cannot
  // give the order of all rows.
  const std::string by_shipped = "SELECT id, shipped FROM orders ORDER BY shipped, id";
  EXPECT_TRUE(Sorts(by_shipped));
  rows = Query(by_shipped);
  ASSERT_EQ(rows.size(), static_cast<size_t>(tmbadmin::kDemoOrders));
  EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "NULL"}));

  // Along a column no key leads with: SQLite sorts, and the rows agree with
  // the CSV sorted the same way.
  const std::string by_total = "SELECT total_cents, id FROM orders ORDER BY total_cents, id";
  EXPECT_TRUE(Sorts(by_total));
  std::vector<std::pair<long long, int>> want;
  for (const auto& o : orders_->rows) {
    want.emplace_back(std::stoll(o[orders_->Col("total_cents")]), std::stoi(o[0]));
  }
  std::sort(want.begin(), want.end());
  rows = Query(by_total);
  ASSERT_EQ(rows.size(), want.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i], (std::vector<std::string>{std::to_string(want[i].first),
                                                 std::to_string(want[i].second)}));
  }
}

TEST_F(SqlTest, JoinsAndAggregates) {
  const size_t customer = orders_->Col("customer_id"), total = orders_->Col("total_cents");
  for (int id : {5, 1234, 3000}) {
    const auto& o = orders_->rows[static_cast<size_t>(id - 1)];
    const auto& c = customers_->rows[static_cast<size_t>(std::stoi(o[customer]) - 1)];
    Rows rows;
    const Reads cost = Cost(
        "SELECT c.name, c.city, o.total_cents FROM orders o JOIN customers c "
        "ON c.id = o.customer_id WHERE o.id = " + std::to_string(id), &rows);
    EXPECT_EQ(rows, Rows({{c[customers_->Col("name")], c[customers_->Col("city")], o[total]}}));
    // A keyed read on each table.
    EXPECT_EQ(cost, (Reads{2, 0, 0, 0})) << id;
  }

  long long sum = 0;
  std::map<std::string, int> by_status;
  for (const auto& o : orders_->rows) {
    sum += std::stoll(o[total]);
    ++by_status[o[orders_->Col("status")]];
  }
  Rows rows;
  const Reads cost = Cost("SELECT count(*), sum(total_cents) FROM orders", &rows);
  EXPECT_EQ(rows, Rows({{std::to_string(orders_->rows.size()), std::to_string(sum)}}));
  // 256 records a block; the last one ends with the end of the file.
  EXPECT_EQ(cost.block, (orders_->rows.size() + 255) / 256);
  EXPECT_EQ(cost.first + cost.next + cost.record, 0u);
  Rows want;
  for (const auto& [status, n] : by_status) want.push_back({status, std::to_string(n)});
  EXPECT_EQ(Query("SELECT status, count(*) FROM orders GROUP BY status ORDER BY status"), want);

  // Two cursors on one table at once, each with a file of its own: a scan
  // of orders with a keyed read of orders inside it.
  EXPECT_EQ(Query("SELECT count(*) FROM orders a JOIN orders b ON b.id = a.id + 1"),
            Rows({{std::to_string(tmbadmin::kDemoOrders - 1)}}));
}

TEST_F(SqlTest, WritesCommitAndRollBackWithTheServer) {
  const std::string row =
      "(5001, 'Ada Lovelace', NULL, 'London', 'GB', 'ada@example.com', '2024-02-29', 100)";
  EXPECT_EQ(Run(*db_, "BEGIN"), "");
  EXPECT_EQ(Run(*db_, "INSERT INTO customers VALUES " + row), "");
  EXPECT_EQ(Run(*db_, "UPDATE orders SET status = 'cancelled', note = 'by phone' WHERE id = 7"),
            "");
  EXPECT_EQ(Run(*db_, "DELETE FROM orders WHERE id = 8"), "");
  // Rows found by a scan in blocks: their rowid is looked up by key.
  size_t big_open = 0;
  for (const auto& o : orders_->rows) {
    big_open += o[orders_->Col("status")] == "open" && std::stoi(o[orders_->Col("quantity")]) > 10;
  }
  ASSERT_GT(big_open, 0u);
  EXPECT_EQ(Run(*db_, "UPDATE orders SET note = 'bulk' WHERE status = 'open' AND quantity > 10"),
            "");
  // Inside the transaction, this connection sees its own writes.
  EXPECT_EQ(Query("SELECT name, company, since FROM customers WHERE id = 5001"),
            Rows({{"Ada Lovelace", "NULL", "2024-02-29"}}));
  EXPECT_EQ(Run(*db_, "COMMIT"), "");

  auto other = OpenDb();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Query(*other, "SELECT name, city FROM customers WHERE id = 5001"),
            Rows({{"Ada Lovelace", "London"}}));
  const auto& seven = orders_->rows[6];
  EXPECT_EQ(Query(*other, "SELECT status, note, total_cents FROM orders WHERE id = 7"),
            Rows({{"cancelled", "by phone", seven[orders_->Col("total_cents")]}}));
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM orders WHERE id = 8"), Rows({{"0"}}));
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM orders"),
            Rows({{std::to_string(tmbadmin::kDemoOrders - 1)}}));
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM orders WHERE note = 'bulk' AND status = 'open' "
                          "AND quantity > 10"),
            Rows({{std::to_string(big_open)}}));
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM orders WHERE note = 'bulk'"),
            Rows({{std::to_string(big_open)}}));

  EXPECT_EQ(Run(*db_, "BEGIN"), "");
  EXPECT_EQ(Run(*db_, "INSERT INTO customers (id, name, city, country, email, since, "
                      "credit_limit) VALUES (5002, 'Grace Hopper', 'Arlington', 'US', "
                      "'grace@example.com', '2024-03-01', 0)"),
            "");
  EXPECT_EQ(Run(*db_, "DELETE FROM orders WHERE id BETWEEN 20 AND 29"), "");
  EXPECT_EQ(Run(*db_, "ROLLBACK"), "");
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM customers WHERE id = 5002"), Rows({{"0"}}));
  EXPECT_EQ(Query(*other, "SELECT count(*) FROM orders WHERE id BETWEEN 20 AND 29"),
            Rows({{"10"}}));

  // A statement on its own commits on its own; the key counter gives the id.
  EXPECT_EQ(Run(*db_, "INSERT INTO orders (customer_id, product_id, quantity, ordered, status, "
                      "total_cents) VALUES (5001, 3, 1, '2024-06-01', 'open', 999)"),
            "");
  EXPECT_EQ(Query(*other, "SELECT id, customer_id FROM orders WHERE total_cents = 999 AND "
                          "customer_id = 5001"),
            Rows({{std::to_string(tmbadmin::kDemoOrders + 1), "5001"}}));
}

TEST_F(SqlTest, ServerRefusalsAreStatementErrors) {
  const std::string full = "INSERT INTO customers (id, name, city, country, email, since, "
                           "credit_limit) VALUES ";
  // A unique key refuses the second record with its value.
  int code = SQLITE_OK;
  std::string error = Run(*db_, full + "(1, 'X', 'Y', 'ZZ', 'x@x', '2024-01-01', 0)", nullptr,
                          &code);
  EXPECT_NE(error.find("duplicate key in customers"), std::string::npos) << error;
  EXPECT_EQ(code, sql::kResultDuplicateKey);
  const std::string taken = customers_->rows[1][customers_->Col("email")];
  error = Run(*db_, "UPDATE customers SET email = '" + taken + "' WHERE id = 1", nullptr, &code);
  EXPECT_NE(error.find("duplicate key in customers"), std::string::npos) << error;
  EXPECT_EQ(code, sql::kResultDuplicateKey);
  EXPECT_EQ(Query("SELECT email FROM customers WHERE id = 1"),
            Rows({{customers_->rows[0][customers_->Col("email")]}}));

  // Values the fields cannot hold are refused before anything is sent,
  // each with the code of what is wrong and the column named; so is NULL
  // in a field that is not nullable, of every kind, written by UPDATE, by
  // INSERT, or by a column an INSERT leaves out (SQLite passes NULL).
  struct Refusal {
    std::string sql;
    int code;
    std::string words;
  };
  const Refusal refusals[] = {
      {"UPDATE orders SET quantity = 'many' WHERE id = 1", sql::kResultNotANumber,
       "orders: column quantity: not an integer: 'many'"},
      {"UPDATE orders SET quantity = '' WHERE id = 1", sql::kResultNotANumber,
       "orders: column quantity: not an integer: ''"},
      {"UPDATE orders SET quantity = 1.5 WHERE id = 1", sql::kResultNotANumber,
       "orders: column quantity: not a whole number: 1.5"},
      {"UPDATE orders SET quantity = x'01' WHERE id = 1", sql::kResultNotANumber,
       "orders: column quantity"},
      {"UPDATE orders SET quantity = 70000 WHERE id = 1", sql::kResultOutOfRange,
       "orders: column quantity: value '70000' out of range -32768..32767"},
      {"UPDATE orders SET quantity = '-40000' WHERE id = 1", sql::kResultOutOfRange,
       "out of range"},
      {"UPDATE orders SET id = -1 WHERE id = 1", sql::kResultOutOfRange, "out of range 0.."},
      {"UPDATE orders SET total_cents = 1e19 WHERE id = 1", sql::kResultOutOfRange,
       "orders: column total_cents: value 1.0e+19 out of range"},
      {"UPDATE orders SET status = 'far too long a status' WHERE id = 1", sql::kResultTooLong,
       "orders: column status: text of 21 bytes"},
      {"UPDATE products SET swatch = x'01020304' WHERE id = 1", sql::kResultTooLong,
       "products: column swatch: 4 bytes"},
      {"UPDATE orders SET ordered = '2024-02-30' WHERE id = 1", sql::kResultNotADate,
       "orders: column ordered: no such day"},
      {"UPDATE orders SET ordered = 'soon' WHERE id = 1", sql::kResultNotADate,
       "orders: column ordered: not a date"},
      {"UPDATE orders SET ordered = ' ' WHERE id = 1", sql::kResultNotADate,
       "orders: column ordered: not a date"},
      {"UPDATE customers SET since = NULL WHERE id = 3", sql::kResultNotNull,
       "customers: column since: NULL into a NOT NULL column"},
      {"UPDATE customers SET name = NULL WHERE id = 3", sql::kResultNotNull,
       "customers: column name: NULL"},
      {"UPDATE customers SET credit_limit = NULL WHERE id = 3", sql::kResultNotNull,
       "customers: column credit_limit: NULL"},
      {"UPDATE products SET price_cents = NULL WHERE id = 3", sql::kResultNotNull,
       "products: column price_cents: NULL"},
      {"UPDATE products SET swatch = NULL WHERE id = 3", sql::kResultNotNull,
       "products: column swatch: NULL"},
      // The key counter numbers an insert's NULL, not an update's.
      {"UPDATE orders SET id = NULL WHERE id = 3", sql::kResultNotNull, "orders: column id: NULL"},
      {full + "(6001, 'X', 'Y', 'ZZ', 'x@x', NULL, 0)", sql::kResultNotNull,
       "customers: column since: NULL"},
      {"INSERT INTO customers (id, name, email) VALUES (6002, 'X', 'x@x')", sql::kResultNotNull,
       "customers: column city: NULL into a NOT NULL column"},
      {"INSERT INTO products VALUES (901, 'C901', 'n', 'c', 1, 1, '2020-01-01', NULL)",
       sql::kResultNotNull, "products: column swatch: NULL"},
      {"UPDATE orders SET rowid = 5 WHERE id = 1", SQLITE_CONSTRAINT, "cannot be set"},
  };
  for (const Refusal& r : refusals) {
    error = Run(*db_, r.sql, nullptr, &code);
    EXPECT_NE(error.find(r.words), std::string::npos) << r.sql << ": " << error;
    EXPECT_EQ(code, r.code) << r.sql << ": " << error;
  }
  const auto& first = orders_->rows[0];
  EXPECT_EQ(Query("SELECT quantity, status, ordered FROM orders WHERE id = 1"),
            Rows({{first[orders_->Col("quantity")], first[orders_->Col("status")],
                   Dashed(first[orders_->Col("ordered")])}}));
  const auto& third = customers_->rows[2];
  EXPECT_EQ(Query("SELECT name, since, credit_limit FROM customers WHERE id = 3"),
            Rows({{third[customers_->Col("name")], Dashed(third[customers_->Col("since")]),
                   third[customers_->Col("credit_limit")]}}));
  EXPECT_EQ(Query("SELECT count(*) FROM products WHERE id = 3 AND swatch IS NOT NULL"),
            Rows({{"1"}}));
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE id > 6000"), Rows({{"0"}}));
  // Nullable fields take '' as their empty value, which reads as NULL.
  EXPECT_EQ(Run(*db_, "UPDATE orders SET note = '', shipped = '' WHERE id = 2"), "");
  EXPECT_EQ(Query("SELECT note, shipped FROM orders WHERE id = 2"), Rows({{"NULL", "NULL"}}));

  // A failed statement on its own leaves nothing behind: a two-row insert
  // whose second row is a duplicate.
  error = Run(*db_, full + "(6001, 'A', 'c', 'ZZ', 'a@a', '2024-01-01', 0), "
                           "(6001, 'B', 'c', 'ZZ', 'b@b', '2024-01-01', 0)");
  EXPECT_NE(error.find("duplicate key in customers"), std::string::npos) << error;
  EXPECT_EQ(Query("SELECT count(*) FROM customers WHERE id = 6001"), Rows({{"0"}}));

  // A write that meets another client's open transaction fails as a
  // conflict once the lock wait the target asks for has passed; the server
  // refuses a wait beyond its bound.
  sql::Target t;
  t.port = server_.port();
  t.catalog = "Demo";
  t.lock_timeout_ms = 100;
  auto quick = sql::Database::Open(t, &error);
  ASSERT_NE(quick, nullptr) << error;
  EXPECT_EQ(Run(*db_, "BEGIN"), "");
  EXPECT_EQ(Run(*db_, "UPDATE orders SET note = 'mine' WHERE id = 5"), "");
  error = Run(*quick, "UPDATE orders SET note = 'theirs' WHERE id = 5", nullptr, &code);
  EXPECT_EQ(code, sql::kResultConflict) << error;
  EXPECT_NE(error.find("orders: updating: the file is held by another client's transaction"),
            std::string::npos)
      << error;
  EXPECT_EQ(Run(*db_, "COMMIT"), "");
  EXPECT_EQ(Query(*quick, "SELECT note FROM orders WHERE id = 5"), Rows({{"mine"}}));
  t.lock_timeout_ms = sql::kMaxLockTimeoutMs + 1;
  EXPECT_EQ(sql::Database::Open(t, &error), nullptr);
  EXPECT_NE(error.find("refuses a lock wait of 600001 ms"), std::string::npos) << error;
}

// Two clients at once: one scans orders again and again (a count in
// blocks, ids in key order, ids backward) while the other deletes rows and
// puts them back and moves rows along the key and back. Every row that
// stays as it was is counted exactly once, a row changed meanwhile at most
// once, and a count is never below the rows that stayed.
TEST_F(SqlTest, ScansWhileAnotherClientChangesRowsMissNoneAndRepeatNone) {
  auto writer = OpenDb();
  ASSERT_NE(writer, nullptr);
  constexpr int kChurned = 20;         // ids 1..20 are deleted and put back
  constexpr int kMovedFirst = 2001;    // ids 2001..2100 move up by 100000 and back
  constexpr int kMovedLast = 2100;
  ASSERT_EQ(Run(*writer, "CREATE TEMP TABLE keep AS SELECT * FROM orders WHERE id <= " +
                             std::to_string(kChurned)),
            "");
  std::atomic<bool> stop{false};
  std::string writer_error;
  std::thread churn([&] {
    for (int round = 0; !stop.load() && writer_error.empty(); ++round) {
      const std::string k = std::to_string(1 + round % kChurned);
      const std::string m = std::to_string(kMovedFirst + round % (kMovedLast - kMovedFirst + 1));
      for (const std::string& sql :
           {"DELETE FROM orders WHERE id = " + k, "INSERT INTO orders SELECT * FROM keep WHERE id = " + k,
            "UPDATE orders SET id = id + 100000 WHERE id = " + m,
            "UPDATE orders SET id = id - 100000 WHERE id = " + m + " + 100000"}) {
        writer_error = Run(*writer, sql);
        if (!writer_error.empty()) break;
      }
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int scans = 0;
  for (; scans < 3 || std::chrono::steady_clock::now() < deadline; ++scans) {
    const Rows count = Query("SELECT count(*) FROM orders");
    ASSERT_EQ(count.size(), 1u);
    const int n = std::stoi(count[0][0]);
    EXPECT_GE(n, tmbadmin::kDemoOrders - kChurned);
    EXPECT_LE(n, tmbadmin::kDemoOrders + kChurned);  // a row put back is a new row
    for (const char* sql : {"SELECT id FROM orders ORDER BY id", "SELECT id FROM orders ORDER BY id DESC"}) {
      if (scans % 3 != 0 && std::string(sql).find("DESC") != std::string::npos) continue;
      std::map<int, int> seen;
      for (const auto& row : Query(sql)) ++seen[std::stoi(row[0]) % 100000];
      for (int id = 1; id <= tmbadmin::kDemoOrders; ++id) {
        const bool changed = id <= kChurned || (id >= kMovedFirst && id <= kMovedLast);
        if (changed) {
          EXPECT_LE(seen[id], 1) << sql << ": id " << id;
        } else {
          EXPECT_EQ(seen[id], 1) << sql << ": id " << id;
        }
      }
      if (HasFailure()) break;
    }
    if (HasFailure()) break;
  }
  stop = true;
  churn.join();
  EXPECT_EQ(writer_error, "");
  EXPECT_EQ(Query("SELECT count(*) FROM orders"),
            Rows({{std::to_string(tmbadmin::kDemoOrders)}}));
}

TEST_F(SqlTest, TablesWithoutBlockReadsOrAWholeKeyAreReadInPositionOrder) {
  // A variable part (so no block reads) and one key, sparse: it leaves out
  // the records whose tag is blank.
  std::string error;
  ASSERT_TRUE(CreateDataFile(server_.dir() + "/data", "tags", R"({
    "description": "tags", "kind": 21, "record_length": 12, "variable_length": 16,
    "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4},
               {"name": "tag", "type": "char", "offset": 4, "length": 8, "nullable": true}],
    "keys": [{"name": "by_tag", "unique": false, "segments": [{"field": "tag", "sparse": true}]}]
  })", &error)) << error;
  auto db = OpenDb();
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(Run(*db, "INSERT INTO tags VALUES (1, 'b'), (2, NULL), (3, 'a'), (4, NULL), (5, 'b')"),
            "");
  const Reads before = ReadsOf(*db);
  EXPECT_EQ(Query(*db, "SELECT count(*) FROM tags"), Rows({{"5"}}));
  // First, four nexts, and the one that finds the end.
  EXPECT_EQ(Minus(ReadsOf(*db), before), (Reads{0, 6, 0, 0}));
  EXPECT_EQ(Query(*db, "SELECT id, tag FROM tags ORDER BY tag, id"),
            Rows({{"2", "NULL"}, {"4", "NULL"}, {"3", "a"}, {"1", "b"}, {"5", "b"}}));
  EXPECT_EQ(Query(*db, "SELECT id FROM tags WHERE tag = 'b' ORDER BY id"), Rows({{"1"}, {"5"}}));
  EXPECT_EQ(Run(*db, "UPDATE tags SET tag = 'c' WHERE id = 2"), "");
  EXPECT_EQ(Run(*db, "DELETE FROM tags WHERE tag IS NULL"), "");
  EXPECT_EQ(Query(*db, "SELECT id, tag FROM tags ORDER BY id"),
            Rows({{"1", "b"}, {"2", "c"}, {"3", "a"}, {"5", "b"}}));
}

// A server that answers the catalog requests with what a test makes up, so
// that the view's bounds on what servers send can be seen at work. One
// connection, plain frames; requests the test does not answer get an i32 0.
class FakeCatalogServer {
 public:
  // Fills the reply of `opcode`; false leaves it to the default.
  using Answer = std::function<bool(uint8_t opcode, MessageBuffer& request, MessageBuffer& reply)>;

  explicit FakeCatalogServer(Answer answer) : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
      ADD_FAILURE() << "no listener";
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeCatalogServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    Connection c;
    c.fd = accept(listener_, nullptr, nullptr);
    if (c.fd < 0) return;
    MessageBuffer b;
    if (!b.Create()) return;
    CompressionSettings settings;
    settings.warmup = 2;
    while (ReceiveFrame(c, b, settings, 1 << 20) == ReceiveResult::kOk) {
      const uint8_t opcode = GetByte(b);
      if (opcode == opcode::kSetCompression) {
        const uint32_t rle = static_cast<uint32_t>((GetByte(b), GetInt32(b)));
        const uint32_t zlib = static_cast<uint32_t>(GetInt32(b));
        b.BeginReply();
        PutByte(b, 0);
        if (!SendFrame(c, b, settings)) break;
        settings.rle_threshold = rle;
        settings.zlib_threshold = zlib;
        continue;
      }
      MessageBuffer reply;
      if (!reply.Create()) break;
      reply.BeginReply();
      if (!answer_(opcode, b, reply)) PutInt32(reply, 0);
      if (!SendFrame(c, reply, settings)) break;
    }
    close(c.fd);
  }

  Answer answer_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

void PutField(MessageBuffer& b, const std::string& text) {
  PutBlock(b, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

// One table "t" of `record_length` bytes: column a (INTEGER, bytes 0-3) and
// column far (CHAR, bytes 1000-1009); key 1 on a, key 2 on bytes 20-23.
bool AnswerOneTable(int32_t record_length, uint8_t opcode, MessageBuffer& reply) {
  switch (opcode) {
    case opcode::kAllocEnv:
    case opcode::kRequestHandle:
    case opcode::kGetTables:
    case opcode::kGetColumns:
      PutInt32(reply, opcode == opcode::kGetTables || opcode == opcode::kGetColumns ? 0 : 1);
      PutInt32(reply, 0);
      PutInt32(reply, 0);
      return true;
    case opcode::kFetchTable:
    case opcode::kFetchColumn: {
      const bool table = opcode == opcode::kFetchTable;
      PutInt32(reply, table ? 1 : 2);
      for (int row = 0; row < (table ? 1 : 2); ++row) {
        for (int i = 0; i < (table ? 8 : 12); ++i) {
          PutField(reply, table ? (i == 0 ? "t" : "")
                                : i == 2 ? "t" : i == 3 ? (row == 0 ? "a" : "far")
                                               : i == 4 ? (row == 0 ? "INTEGER" : "CHAR") : "");
        }
        PutInt32(reply, 0);
        PutInt32(reply, 0);
        if (table) {
          PutInt32(reply, record_length);
          PutByte(reply, 2);
          PutByte(reply, 21);
          PutByte(reply, 0);
          PutInt32(reply, 10);
        } else {
          // int1 to int10 in wire order (int5 before int4): length, ordinal, offset.
          for (int32_t v : {4, 4, row == 0 ? 4 : 10, 10, 0, 0, row + 1, row == 0 ? 0 : 1000, 0, 0}) {
            PutInt32(reply, v);
          }
          PutByte(reply, '0');
        }
      }
      return true;
    }
    case opcode::kOpenFile:
      for (int32_t v : {7, 4, record_length, 0, 16, 2, 0}) PutInt32(reply, v);
      return true;
    case opcode::kDescribeIndex:
      PutInt32(reply, 2);
      PutInt32(reply, 2);
      for (int32_t k = 1; k <= 2; ++k) {
        for (int32_t v : {k, 1, 4}) PutInt32(reply, v);
        PutByte(reply, 0);
        PutField(reply, "k" + std::to_string(k));
      }
      PutInt32(reply, 2);
      for (int32_t k = 1; k <= 2; ++k) {
        PutByte(reply, static_cast<uint8_t>(k));
        PutByte(reply, 1);
        PutInt32(reply, TMBIO_SEG_SIGNED);
        PutInt32(reply, k == 1 ? 0 : 20);
        PutInt32(reply, 4);
      }
      return true;
    default:
      return false;
  }
}

// The positions a scan in key order returned: dense ones in the bitmap,
// far ones beside it, and a far one still known once the bitmap has grown
// over it.
TEST(PositionSetTest, EachPositionIsNewOnceWhereverItIsKept) {
  sql::PositionSet set;
  EXPECT_TRUE(set.Insert(5));
  EXPECT_FALSE(set.Insert(5));
  EXPECT_TRUE(set.Insert(2000000000));  // far beyond the others
  EXPECT_FALSE(set.Insert(2000000000));
  EXPECT_TRUE(set.Insert(200000));
  for (int32_t p = 1; p <= 300000; p += 3) set.Insert(p);  // the bitmap grows past 200000
  EXPECT_FALSE(set.Insert(200000));
  EXPECT_FALSE(set.Insert(5));
  EXPECT_TRUE(set.Insert(6));
  EXPECT_TRUE(set.Insert(-1));
  EXPECT_FALSE(set.Insert(-1));
  EXPECT_EQ(set.size(), 100000u + 5u);
  set.Clear();
  EXPECT_EQ(set.size(), 0u);
  EXPECT_TRUE(set.Insert(5));
  EXPECT_TRUE(set.Insert(2000000000));
}

TEST(SqlUntrustedServerTest, LayoutsOutsideTheRecordAndEndlessListingsAreRefused) {
  auto open = [](uint16_t port, std::string* error) {
    sql::Target t;
    t.port = port;
    t.compression = CompressionChoiceOption::kNone;
    return sql::Database::Open(t, error);
  };
  std::string error;
  {
    // A column and a key past the record's 16 bytes are left out.
    FakeCatalogServer server([](uint8_t op, MessageBuffer&, MessageBuffer& r) {
      return AnswerOneTable(16, op, r);
    });
    auto db = open(server.port(), &error);
    ASSERT_NE(db, nullptr) << error;
    ASSERT_EQ(db->tables().size(), 1u);
    const sql::Table& t = db->tables()[0];
    ASSERT_EQ(t.columns.size(), 1u);
    EXPECT_EQ(t.columns[0].name, "a");
    ASSERT_EQ(t.keys.size(), 1u);
    EXPECT_EQ(t.keys[0].segments[0].column, 0);
    // A read answered with a status and nothing after it is the
    // statement's error, and the connection ends: no made-up row.
    Rows rows;
    error = RunSql(*db, "SELECT a FROM t WHERE a = 5", &rows);
    EXPECT_NE(error.find("shorter than its fields"), std::string::npos) << error;
    EXPECT_TRUE(rows.empty());
    error = RunSql(*db, "SELECT count(*) FROM t");
    EXPECT_NE(error.find("not connected"), std::string::npos) << error;
  }
  for (const int entries : {1, 257}) {
    // A scan's block whose one entry runs past the block's end, or that
    // holds more entries than were asked for: the statement's error, no
    // made-up rows.
    FakeCatalogServer server([entries](uint8_t op, MessageBuffer&, MessageBuffer& r) {
      if (op != opcode::kRestrictedReadBlock) return AnswerOneTable(16, op, r);
      std::string block;
      for (int e = 0; e < entries; ++e) {
        for (uint32_t v : {16u, static_cast<uint32_t>(e + 1)}) {
          for (int shift = 24; shift >= 0; shift -= 8) block += static_cast<char>(v >> shift);
        }
        block += std::string(entries == 1 ? 10 : 16, 'x');
        if (entries != 1) block += '\0';  // no key
      }
      PutInt32(r, static_cast<int32_t>(block.size()));
      PutBlock(r, block.data(), static_cast<uint32_t>(block.size()));
      return true;
    });
    auto db = open(server.port(), &error);
    ASSERT_NE(db, nullptr) << error;
    Rows rows;
    error = RunSql(*db, "SELECT a FROM t", &rows);
    EXPECT_NE(error.find("shorter than its fields"), std::string::npos) << entries << error;
    EXPECT_TRUE(rows.empty());
  }
  {
    // Records longer than any the library makes.
    FakeCatalogServer server([](uint8_t op, MessageBuffer&, MessageBuffer& r) {
      return AnswerOneTable(70000, op, r);
    });
    EXPECT_EQ(open(server.port(), &error), nullptr);
    EXPECT_NE(error.find("records of 70000"), std::string::npos) << error;
  }
  {
    // A table listing that never ends.
    FakeCatalogServer server([](uint8_t op, MessageBuffer&, MessageBuffer& r) {
      if (op != opcode::kFetchTable) return AnswerOneTable(16, op, r);
      PutInt32(r, 64);
      for (int row = 0; row < 64; ++row) {
        for (int i = 0; i < 8; ++i) PutField(r, i == 0 ? "t" : "");
        for (int i = 0; i < 2; ++i) PutInt32(r, 0);
        PutInt32(r, 16);
        for (int i = 0; i < 3; ++i) PutByte(r, 0);
        PutInt32(r, 0);
      }
      return true;
    });
    EXPECT_EQ(open(server.port(), &error), nullptr);
    EXPECT_NE(error.find("more than 4096 tables"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace tmb::test
