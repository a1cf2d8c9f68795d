// The data library against bare SQLite doing the same work on a table of the
// same shape (rowid, record blob, two indexed key columns): read-next in key
// order, read by key, insert and update with two keys (committed one by one,
// and a thousand to a transaction). The gap between each pair is the
// engine's own cost.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kRecordLength = 100;
constexpr int kBatch = 1000;

// id int4 @0 (unique), name char20 @4 (duplicates: 1000 distinct).
const char* kSchema = R"({"record_length": 100,
  "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4},
             {"name": "name", "type": "char", "offset": 4, "length": 20}],
  "keys": [{"name": "by_id", "segments": [{"field": "id"}]},
           {"name": "by_name", "unique": false, "segments": [{"field": "name"}]}]})";

void MakeRecord(int32_t id, int variant, uint8_t* rec) {
  memset(rec, 0, kRecordLength);
  for (int i = 0; i < 4; ++i) rec[i] = static_cast<uint8_t>(static_cast<uint32_t>(id) >> (8 * i));
  char name[32];
  snprintf(name, sizeof name, "name%06d", (id * 7919 + variant) % 1000);
  memset(rec + 4, ' ', 20);
  memcpy(rec + 4, name, strlen(name));
  for (int i = 24; i < kRecordLength; ++i) rec[i] = static_cast<uint8_t>(id + i);
}

// The key images bare SQLite is given: what the engine computes.
void Images(const uint8_t* rec, uint8_t* k1, uint8_t* k2) {
  for (int i = 0; i < 4; ++i) k1[i] = rec[3 - i];
  k1[0] ^= 0x80;
  memcpy(k2, rec + 4, 20);
}

struct Files {
  std::string dir;
  std::string bare_path;
  Files() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tmbio-bench-XXXXXX").string();
    dir = mkdtemp(tmpl.data());
    tmbio::FileDefinition def;
    std::string error;
    if (!tmbio::ParseSchema(kSchema, &def, &error) ||
        tmbio::CreateDataFile(dir + "/bench.tmb", def, &error) != 0) {
      fprintf(stderr, "setup: %s\n", error.c_str());
      abort();
    }
    bare_path = dir + "/bare.db";
    sqlite3* db = nullptr;
    sqlite3_open(bare_path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL;"
                 "CREATE TABLE records(pos INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB NOT NULL, k1 BLOB, k2 BLOB);"
                 "CREATE UNIQUE INDEX records_k1 ON records(k1);"
                 "CREATE INDEX records_k2 ON records(k2);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

// ---- The engine --------------------------------------------------------------

struct Engine {
  TMBEnvironment* env;
  TMBFile* file;
  int32_t next_id = kRecords + 1;
  Engine() {
    env = QDK_AllocEnv();
    QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(TheFiles().dir.c_str()));
    int32_t error = 0;
    file = QDK_OpenExt(env, "bench", nullptr, 0, 0, &error);
    uint8_t rec[kRecordLength];
    QDK_BeginTX(env);
    for (int32_t id = 1; id <= kRecords; ++id) {
      MakeRecord(id, 0, rec);
      QDK_ExtWrite(file, rec, kRecordLength, nullptr, 0, TMBIO_WRITE_INSERT, 0);
    }
    QDK_CommitTX(env);
  }
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

void BM_TmbioReadNext(benchmark::State& state) {
  Engine& e = TheEngine();
  uint8_t buf[kRecordLength];
  QDK_keyadjust(e.file, nullptr, 0, 2);
  QDK_read(e.file, buf, sizeof buf, TMBIO_READ_FIRST);
  for (auto _ : state) {
    if (QDK_read(e.file, buf, sizeof buf, TMBIO_READ_NEXT) < 0) {
      QDK_read(e.file, buf, sizeof buf, TMBIO_READ_FIRST);
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TmbioReadByKey(benchmark::State& state) {
  Engine& e = TheEngine();
  uint8_t buf[kRecordLength];
  QDK_keyadjust(e.file, nullptr, 0, 1);
  std::mt19937 rng(1);
  for (auto _ : state) {
    int32_t id = static_cast<int32_t>(rng() % kRecords) + 1;
    if (QDK_seek(e.file, reinterpret_cast<const uint8_t*>(&id), 4, TMBIO_SEEK_EQUAL) != 1 ||
        QDK_read(e.file, buf, sizeof buf, TMBIO_READ_POSITIONED) != kRecordLength) {
      state.SkipWithError("read by key failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}

// A read by key as the server runs one for a client: one request, one
// call that seeks and reads, the request's end resetting its statement.
void BM_TmbioReadFirstRequest(benchmark::State& state) {
  Engine& e = TheEngine();
  uint8_t buf[kRecordLength];
  uint8_t key[256];
  uint8_t key_length = 0;
  int32_t value = 0;
  QDK_keyadjust(e.file, nullptr, 0, 1);
  std::mt19937 rng(1);
  for (auto _ : state) {
    int32_t id = static_cast<int32_t>(rng() % kRecords) + 1;
    QD_BeginRequest();
    const int32_t n = QDK_read_FIRST(e.file, buf, sizeof buf, TMBIO_SEEK_EQUAL, key, &key_length,
                                     &value, nullptr, 0, &id, 4);
    QD_EndRequest();
    if (n != kRecordLength) {
      state.SkipWithError("read by key failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TmbioInsert(benchmark::State& state) {
  Engine& e = TheEngine();
  const bool batched = state.range(0) != 0;
  uint8_t rec[kRecordLength];
  int in_batch = 0;
  for (auto _ : state) {
    if (batched && in_batch == 0) QDK_BeginTX(e.env);
    MakeRecord(e.next_id++, 0, rec);
    if (QDK_ExtWrite(e.file, rec, kRecordLength, nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) {
      state.SkipWithError("insert failed");
      break;
    }
    if (batched && ++in_batch == kBatch) {
      QDK_CommitTX(e.env);
      in_batch = 0;
    }
  }
  if (batched && in_batch > 0) QDK_CommitTX(e.env);
  state.SetItemsProcessed(state.iterations());
}

void BM_TmbioUpdate(benchmark::State& state) {
  Engine& e = TheEngine();
  const bool batched = state.range(0) != 0;
  uint8_t rec[kRecordLength];
  QDK_keyadjust(e.file, nullptr, 0, 1);
  std::mt19937 rng(2);
  int in_batch = 0, variant = 0;
  for (auto _ : state) {
    if (batched && in_batch == 0) QDK_BeginTX(e.env);
    int32_t id = static_cast<int32_t>(rng() % kRecords) + 1;
    // Read it, change its second key, write it back.
    if (QDK_seek(e.file, reinterpret_cast<const uint8_t*>(&id), 4, TMBIO_SEEK_EQUAL) != 1 ||
        QDK_read(e.file, rec, kRecordLength, TMBIO_READ_POSITIONED) != kRecordLength) {
      state.SkipWithError("read failed");
      break;
    }
    MakeRecord(id, ++variant, rec);
    if (QDK_ExtWrite(e.file, rec, kRecordLength, nullptr, 0, TMBIO_WRITE_UPDATE, 0) <= 0) {
      state.SkipWithError("update failed");
      break;
    }
    if (batched && ++in_batch == kBatch) {
      QDK_CommitTX(e.env);
      in_batch = 0;
    }
  }
  if (batched && in_batch > 0) QDK_CommitTX(e.env);
  state.SetItemsProcessed(state.iterations());
}

// Inserts committed alone by 1 to 16 environments at once, each with its own
// handle of the file, as a server's sessions write: the rate in real time,
// and how many writes each sync of the log made durable.
void BM_TmbioInsertAloneClients(benchmark::State& state) {
  static int64_t syncs_before = 0;
  TMBEnvironment* env = QDK_AllocEnv();
  QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(TheFiles().dir.c_str()));
  QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 60000);
  int32_t error = 0;
  TMBFile* file = QDK_OpenExt(env, "bench", nullptr, 0, 0, &error);
  // Ids above the engine's own inserts, a range per thread and per run.
  static std::atomic<int32_t> next_base{1 << 28};
  int32_t id = next_base.fetch_add(1 << 20);
  // Every thread is here before any enters its loop: the count is taken
  // before the first write of the run.
  if (state.thread_index() == 0) syncs_before = GetNumLogSyncs();
  uint8_t rec[kRecordLength];
  for (auto _ : state) {
    MakeRecord(id++, 0, rec);
    if (file == nullptr ||
        QDK_ExtWrite(file, rec, kRecordLength, nullptr, 0, TMBIO_WRITE_INSERT, 0) <= 0) {
      state.SkipWithError("insert failed");
      break;
    }
  }
  // Every thread has left its loop here.
  if (state.thread_index() == 0) {
    const int64_t syncs = GetNumLogSyncs() - syncs_before;
    state.counters["writes_per_sync"] =
        syncs > 0 ? static_cast<double>(state.iterations()) * state.threads() / syncs : 0;
  }
  state.SetItemsProcessed(state.iterations());
  QDK_DeAllocEnv(env);
}

// ---- Bare SQLite ---------------------------------------------------------------

struct Bare {
  sqlite3* db = nullptr;
  sqlite3_stmt* scan = nullptr;
  sqlite3_stmt* by_key = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* update = nullptr;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* commit = nullptr;
  int32_t next_id = kRecords + 1;

  Bare() {
    sqlite3_open_v2(TheFiles().bare_path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    // Set up as the engine sets up its connections.
    sqlite3_exec(db, "PRAGMA synchronous=FULL; PRAGMA mmap_size=268435456", nullptr, nullptr, nullptr);
    Prepare("SELECT pos, data, k2 FROM records ORDER BY k2, pos", &scan);
    Prepare("SELECT pos, data, k1 FROM records WHERE k1 = ?1", &by_key);
    Prepare("INSERT INTO records(data, k1, k2) VALUES(?1, ?2, ?3)", &insert);
    Prepare("UPDATE records SET data = ?1, k1 = ?2, k2 = ?3 WHERE pos = ?4", &update);
    Prepare("BEGIN IMMEDIATE", &begin);
    Prepare("COMMIT", &commit);
    Run(begin);
    uint8_t rec[kRecordLength];
    for (int32_t id = 1; id <= kRecords; ++id) {
      MakeRecord(id, 0, rec);
      Insert(rec);
    }
    Run(commit);
  }
  void Prepare(const char* sql, sqlite3_stmt** s) {
    sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, s, nullptr);
  }
  static void Run(sqlite3_stmt* s) {
    sqlite3_step(s);
    sqlite3_reset(s);
  }
  bool Insert(const uint8_t* rec) {
    uint8_t k1[4], k2[20];
    Images(rec, k1, k2);
    sqlite3_bind_blob(insert, 1, rec, kRecordLength, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, k1, 4, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 3, k2, 20, SQLITE_STATIC);
    bool ok = sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    return ok;
  }
  // Reads the record with key 1 `id` into rec; its rowid, or 0.
  int64_t Read(int32_t id, uint8_t* rec) {
    uint8_t k1[4];
    for (int i = 0; i < 4; ++i) k1[3 - i] = static_cast<uint8_t>(static_cast<uint32_t>(id) >> (8 * i));
    k1[0] ^= 0x80;
    sqlite3_bind_blob(by_key, 1, k1, 4, SQLITE_STATIC);
    int64_t pos = 0;
    if (sqlite3_step(by_key) == SQLITE_ROW && sqlite3_column_bytes(by_key, 1) == kRecordLength) {
      pos = sqlite3_column_int64(by_key, 0);
      memcpy(rec, sqlite3_column_blob(by_key, 1), kRecordLength);
    }
    sqlite3_reset(by_key);
    return pos;
  }
};

Bare& TheBare() {
  static Bare bare;
  return bare;
}

void BM_SqliteReadNext(benchmark::State& state) {
  Bare& b = TheBare();
  uint8_t buf[kRecordLength];
  for (auto _ : state) {
    if (sqlite3_step(b.scan) != SQLITE_ROW) {
      sqlite3_reset(b.scan);
      sqlite3_step(b.scan);
    }
    memcpy(buf, sqlite3_column_blob(b.scan, 1), static_cast<size_t>(sqlite3_column_bytes(b.scan, 1)));
    benchmark::DoNotOptimize(buf);
  }
  sqlite3_reset(b.scan);
  state.SetItemsProcessed(state.iterations());
}

void BM_SqliteReadByKey(benchmark::State& state) {
  Bare& b = TheBare();
  uint8_t buf[kRecordLength];
  std::mt19937 rng(1);
  for (auto _ : state) {
    int32_t id = static_cast<int32_t>(rng() % kRecords) + 1;
    if (b.Read(id, buf) == 0) {
      state.SkipWithError("read by key failed");
      break;
    }
    benchmark::DoNotOptimize(buf);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SqliteInsert(benchmark::State& state) {
  Bare& b = TheBare();
  const bool batched = state.range(0) != 0;
  uint8_t rec[kRecordLength];
  int in_batch = 0;
  for (auto _ : state) {
    if (!batched || in_batch == 0) Bare::Run(b.begin);
    MakeRecord(b.next_id++, 0, rec);
    if (!b.Insert(rec)) {
      state.SkipWithError("insert failed");
      break;
    }
    if (!batched || ++in_batch == kBatch) {
      Bare::Run(b.commit);
      in_batch = 0;
    }
  }
  if (batched && in_batch > 0) Bare::Run(b.commit);
  state.SetItemsProcessed(state.iterations());
}

void BM_SqliteUpdate(benchmark::State& state) {
  Bare& b = TheBare();
  const bool batched = state.range(0) != 0;
  uint8_t rec[kRecordLength];
  std::mt19937 rng(2);
  int in_batch = 0, variant = 0;
  for (auto _ : state) {
    if (!batched || in_batch == 0) Bare::Run(b.begin);
    int32_t id = static_cast<int32_t>(rng() % kRecords) + 1;
    int64_t pos = b.Read(id, rec);
    MakeRecord(id, ++variant, rec);
    uint8_t k1[4], k2[20];
    Images(rec, k1, k2);
    sqlite3_bind_blob(b.update, 1, rec, kRecordLength, SQLITE_STATIC);
    sqlite3_bind_blob(b.update, 2, k1, 4, SQLITE_STATIC);
    sqlite3_bind_blob(b.update, 3, k2, 20, SQLITE_STATIC);
    sqlite3_bind_int64(b.update, 4, pos);
    if (pos == 0 || sqlite3_step(b.update) != SQLITE_DONE) {
      state.SkipWithError("update failed");
      break;
    }
    sqlite3_reset(b.update);
    if (!batched || ++in_batch == kBatch) {
      Bare::Run(b.commit);
      in_batch = 0;
    }
  }
  if (batched && in_batch > 0) Bare::Run(b.commit);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

// Pairs side by side: engine, then bare SQLite. Argument 1: a thousand
// writes to a transaction; 0: each write committed (and synced) alone.
BENCHMARK(BM_TmbioReadNext);
BENCHMARK(BM_SqliteReadNext);
BENCHMARK(BM_TmbioReadByKey);
BENCHMARK(BM_TmbioReadFirstRequest);
BENCHMARK(BM_SqliteReadByKey);
BENCHMARK(BM_TmbioInsert)->Arg(1);
BENCHMARK(BM_SqliteInsert)->Arg(1);
BENCHMARK(BM_TmbioUpdate)->Arg(1);
BENCHMARK(BM_SqliteUpdate)->Arg(1);
// Writes committed alone wait for the disk: their rate is per second of
// real time.
BENCHMARK(BM_TmbioInsert)->Arg(0)->Iterations(500)->UseRealTime();
BENCHMARK(BM_SqliteInsert)->Arg(0)->Iterations(500)->UseRealTime();
BENCHMARK(BM_TmbioUpdate)->Arg(0)->Iterations(500)->UseRealTime();
BENCHMARK(BM_SqliteUpdate)->Arg(0)->Iterations(500)->UseRealTime();
// The same, from 1 and 16 environments at once (each thread its own).
BENCHMARK(BM_TmbioInsertAloneClients)->Threads(1)->Threads(16)->Iterations(400)->UseRealTime();
