// The SQL view (client/sql) against the real server over loopback, serving
// the demo shop, beside the client library doing the same work by hand:
//
//   KeyReadLibrary  opcode 42: seek equal on a random order id and read it
//   KeySelectSql    SELECT * FROM orders WHERE id = ? (prepared, random id)
//   CountSql        SELECT count(*) FROM orders (block reads, 3000 rows)
//   ScanLibrary     the same rows read in blocks by hand (opcode 64)
//   UpdateInTxSql   UPDATE orders SET quantity = quantity WHERE id = ?
//                   inside BEGIN ... ROLLBACK, 100 a transaction: each
//                   statement marked for its all-or-nothing (requests: 3
//                   a statement, the mark, the read and the write)
//
// KeySelectSql / KeyReadLibrary is the view's cost per keyed row; CountSql /
// ScanLibrary its cost per scanned row.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "client/client.h"
#include "client/data_calls.h"
#include "client/session_calls.h"
#include "client/sql/database.h"
#include "tests/e2e/demo_shop.h"
#include "tests/e2e/server_process.h"
#include "tmbio/admin/demo_data.h"
#include "tmbio/tmbio.h"

namespace {

std::unique_ptr<tmb::sql::Database> OpenView() {
  tmb::sql::Target t;
  t.port = tmb::test::SharedDemoShop().port();
  t.catalog = "demo";
  std::string error;
  auto db = tmb::sql::Database::Open(t, &error);
  if (db == nullptr) std::abort();
  return db;
}

std::string Int32Le(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 24)};
}

// A connection with an environment and orders open on key 1.
struct LibraryReader {
  tmb::Client client;
  int32_t file = -1;
  int32_t size = 0;
  LibraryReader() {
    std::string error;
    bool zlib = false;
    int32_t env = 0;
    tmb::OpenedFile f;
    if (!client.Connect("127.0.0.1", tmb::test::SharedDemoShop().port(), &error) ||
        !tmb::OpenWithCompression(client, tmb::CompressionChoiceOption::kRunLength, &zlib,
                                  &error) ||
        !tmb::CallAllocEnv(client, &env, &error) ||
        !tmb::CallOpenFile(client, env, "orders.tmb", TMBIO_OPEN_NORMAL, &f, &error) ||
        f.id == -1) {
      std::abort();
    }
    file = f.id;
    size = f.record_length;
  }
};

void KeyReadLibrary(benchmark::State& state) {
  LibraryReader r;
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> id(1, tmbadmin::kDemoOrders);
  std::string error;
  for (auto _ : state) {
    tmb::KeyedRecord record;
    if (!tmb::CallReadFirst(r.client, r.file, r.size, TMBIO_SEEK_EQUAL, Int32Le(id(random)),
                            &record, &error) ||
        record.status < 0) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(record);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(KeyReadLibrary)->UseRealTime();

void KeySelectSql(benchmark::State& state) {
  auto db = OpenView();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db->handle(), "SELECT * FROM orders WHERE id = ?", -1, &stmt, nullptr);
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> id(1, tmbadmin::kDemoOrders);
  const uint64_t before = db->requests();
  for (auto _ : state) {
    sqlite3_bind_int(stmt, 1, id(random));
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError(sqlite3_errmsg(db->handle()));
      break;
    }
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      benchmark::DoNotOptimize(sqlite3_column_text(stmt, i));
    }
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations());
  state.counters["requests"] = benchmark::Counter(
      static_cast<double>(db->requests() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(KeySelectSql)->UseRealTime();

void CountSql(benchmark::State& state) {
  auto db = OpenView();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db->handle(), "SELECT count(*) FROM orders", -1, &stmt, nullptr);
  const uint64_t before = db->requests();
  for (auto _ : state) {
    if (sqlite3_step(stmt) != SQLITE_ROW ||
        sqlite3_column_int(stmt, 0) != tmbadmin::kDemoOrders) {
      state.SkipWithError("count failed");
      break;
    }
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations() * tmbadmin::kDemoOrders);
  state.counters["requests"] = benchmark::Counter(
      static_cast<double>(db->requests() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(CountSql)->UseRealTime();

void ScanLibrary(benchmark::State& state) {
  LibraryReader r;
  std::string error;
  for (auto _ : state) {
    int64_t rows = 0;
    tmb::ReadBlockReply block;
    bool first = true;
    for (;;) {
      if (!tmb::CallReadBlock(r.client, r.file, first ? TMBIO_SEEK_FIRST : 0, &block, &error)) {
        std::abort();
      }
      const size_t fresh = block.entries.size() - (first || block.entries.empty() ? 0 : 1);
      rows += static_cast<int64_t>(fresh);
      first = false;
      if (fresh == 0) break;
    }
    if (rows != tmbadmin::kDemoOrders) {
      state.SkipWithError("scan miscounted");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * tmbadmin::kDemoOrders);
}
BENCHMARK(ScanLibrary)->UseRealTime();

void UpdateInTxSql(benchmark::State& state) {
  auto db = OpenView();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db->handle(), "UPDATE orders SET quantity = quantity WHERE id = ?", -1,
                     &stmt, nullptr);
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> id(1, tmbadmin::kDemoOrders);
  const uint64_t before = db->requests();
  int64_t statements = 0;
  for (auto _ : state) {
    sqlite3_exec(db->handle(), "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < 100; ++i, ++statements) {
      sqlite3_bind_int(stmt, 1, id(random));
      if (sqlite3_step(stmt) != SQLITE_DONE) {
        state.SkipWithError(sqlite3_errmsg(db->handle()));
        break;
      }
      sqlite3_reset(stmt);
    }
    // Rolled back: every round writes the same rows of the shared shop.
    sqlite3_exec(db->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(statements);
  state.counters["requests"] = benchmark::Counter(
      static_cast<double>(db->requests() - before) / static_cast<double>(std::max<int64_t>(statements, 1)));
}
BENCHMARK(UpdateInTxSql)->UseRealTime();

}  // namespace
