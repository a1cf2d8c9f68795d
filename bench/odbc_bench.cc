// A key-equality SELECT through the ODBC driver against the same read by
// key through the client library, both on the demo shop's customers (1000
// records) served by the real server over loopback, one client.
//
//   ClientReadByKey  opcode 42: seek equal on a random id and read the record
//   SqlViewSelectByKey  the same SELECT on the SQL view's SQLite connection
//                    directly, without the driver; its counter "requests"
//                    is what one SELECT costs on the wire
//   OdbcSelectByKey  "SELECT id, name, city FROM customers WHERE id = ?",
//                    prepared once, executed with a random id, the row
//                    fetched and its three columns read with SQLGetData;
//                    the driver is loaded by unixODBC's Driver Manager, as
//                    an application loads it
//
// The ratio of the times is the price of SQL over the bare read. Run:
//   build-rel/bench/odbc_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/data_calls.h"
#include "client/session_calls.h"
#include "client/sql/database.h"
#include "tests/e2e/demo_shop.h"
#include "tests/e2e/server_process.h"
#include "tmbio/tmbio.h"

namespace {

constexpr int kCustomers = 1000;
constexpr int32_t kCustomerRecord = 176;

std::string Int32Le(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 24)};
}

void BM_ClientReadByKey(benchmark::State& state) {
  tmb::test::ServerProcess& server = tmb::test::SharedDemoShop();
  tmb::Client c;
  std::string error;
  int16_t code = 0;
  int32_t env = 0;
  tmb::OpenedFile file;
  if (!c.Connect("127.0.0.1", server.port(), &error) || !tmb::CallHello(c, &code, &error) ||
      !tmb::CallAllocEnv(c, &env, &error) ||
      !tmb::CallOpenFile(c, env, server.dir() + "/data/customers.tmb", 0, &file, &error) ||
      file.id == -1) {
    state.SkipWithError(("set-up: " + error).c_str());
    return;
  }
  std::mt19937 random(7);
  for (auto _ : state) {
    const int32_t id = static_cast<int32_t>(random() % kCustomers) + 1;
    tmb::KeyedRecord out;
    if (!tmb::CallReadFirst(c, file.id, kCustomerRecord, TMBIO_SEEK_EQUAL, Int32Le(id), &out,
                            &error) ||
        out.record.size() != static_cast<size_t>(kCustomerRecord)) {
      state.SkipWithError(("read: " + error).c_str());
      return;
    }
    benchmark::DoNotOptimize(out.record.data());
  }
}

void BM_OdbcSelectByKey(benchmark::State& state) {
  tmb::test::ServerProcess& server = tmb::test::SharedDemoShop();
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLHSTMT stmt = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  const std::string connect = std::string("DRIVER=") + TMB_ODBC_DRIVER +
                              ";Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                              ";Catalog=Demo";
  SQLRETURN rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, nullptr, 0,
                                  nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    SQLCHAR st[6] = {}, msg[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLGetDiagRec(SQL_HANDLE_DBC, dbc, 1, st, &native, msg, sizeof msg, &len);
    state.SkipWithError((std::string("connect: ") + (char*)msg).c_str());
    return;
  }
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  SQLPrepare(stmt, (SQLCHAR*)"SELECT id, name, city FROM customers WHERE id = ?", SQL_NTS);
  SQLINTEGER id = 0;
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, nullptr);
  std::mt19937 random(7);
  for (auto _ : state) {
    id = static_cast<SQLINTEGER>(random() % kCustomers) + 1;
    SQLINTEGER got = 0;
    char name[64], city[32];
    SQLLEN ind = 0;
    if (SQLExecute(stmt) != SQL_SUCCESS || SQLFetch(stmt) != SQL_SUCCESS ||
        SQLGetData(stmt, 1, SQL_C_SLONG, &got, 0, &ind) != SQL_SUCCESS ||
        SQLGetData(stmt, 2, SQL_C_CHAR, name, sizeof name, &ind) != SQL_SUCCESS ||
        SQLGetData(stmt, 3, SQL_C_CHAR, city, sizeof city, &ind) != SQL_SUCCESS || got != id) {
      state.SkipWithError("select by key failed");
      break;
    }
    SQLCloseCursor(stmt);
    benchmark::DoNotOptimize(name);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

void BM_SqlViewSelectByKey(benchmark::State& state) {
  tmb::sql::Target target;
  target.port = tmb::test::SharedDemoShop().port();
  target.catalog = "Demo";
  std::string error;
  auto db = tmb::sql::Database::Open(target, &error);
  if (db == nullptr) {
    state.SkipWithError(("open: " + error).c_str());
    return;
  }
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db->handle(), "SELECT id, name, city FROM customers WHERE id = ?", -1,
                     &stmt, nullptr);
  std::mt19937 random(7);
  const uint64_t before = db->requests();
  for (auto _ : state) {
    const int id = static_cast<int>(random() % kCustomers) + 1;
    sqlite3_bind_int(stmt, 1, id);
    if (sqlite3_step(stmt) != SQLITE_ROW || sqlite3_column_int(stmt, 0) != id) {
      state.SkipWithError("select by key failed");
      break;
    }
    benchmark::DoNotOptimize(sqlite3_column_text(stmt, 1));
    sqlite3_reset(stmt);
  }
  state.counters["requests"] = benchmark::Counter(
      static_cast<double>(db->requests() - before) / static_cast<double>(state.iterations()));
  sqlite3_finalize(stmt);
}

// On a shared machine the fastest of several repetitions says most about
// the code: run with --benchmark_repetitions=N to get "min" beside "median".
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_ClientReadByKey)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SqlViewSelectByKey)->UseRealTime()->ComputeStatistics("min", Fastest);
BENCHMARK(BM_OdbcSelectByKey)->UseRealTime()->ComputeStatistics("min", Fastest);

}  // namespace
