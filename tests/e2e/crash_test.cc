// End-to-end: the server killed with SIGKILL at random moments of a load,
// restarted on the same files each time: transactions over two files, and
// writes committed alone (made durable in groups) from sixteen clients.
// After every restart each acknowledged transaction or write is there
// whole, nothing is there that no client wrote, and every file passes
// `tmbadmin check`.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <latch>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/data_calls.h"
#include "tests/e2e/data_fixture.h"
#include "tests/support/whole_transactions.h"
#include "tmbio/tmbio.h"
#include "wire/opcodes.h"

namespace tmb::test {
namespace {

constexpr uint16_t kSigned = 0x0800;
constexpr int32_t kRecordLength = 16;
const char* const kFiles[] = {"heads", "lines"};
const char* const kSingles = "singles";

Schema Keyed() {
  Schema s;
  s.record_length = kRecordLength;
  s.Field("id", "int", 0, 4).Field("note", "char", 4, 12);
  s.Key("by_id", "id", kSigned);
  return s;
}

std::string Row(int32_t id, const char* file) { return Int32Le(id) + Padded(file, 12); }

int EnvironmentNumber(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// What one writer did in one round, up to the kill.
struct WriterLog {
  std::set<int32_t> acknowledged;
  std::set<int32_t> refused;  // a status other than success: rolled back
  int32_t in_flight = 0;      // the id of the transaction the kill cut, or 0
  bool commit_in_flight = false;  // the kill fell between commit request and reply
  std::string failure;        // a fault of the server other than the kill
};

// One client: its own connection and environment, both files open, then
// "begin, insert id into heads, insert id into lines, commit" until the
// connection dies with the server.
void Write(uint16_t port, std::atomic<int32_t>& next_id, std::latch& ready, WriterLog& log) {
  DataConnection c(port);
  int32_t files[2] = {c.Open(kFiles[0]), c.Open(kFiles[1])};
  // Eight writers take turns at the files; none should give up waiting.
  bool closed = false;
  const Bytes wait = c.Raw(opcode::kSetEnvMode, [&](MessageBuffer& b) {
    PutInt32(b, c.env());
    PutInt32(b, TMBIO_ENV_LOCK_WAIT);
    PutInt32(b, 120000);
  }, &closed);
  ready.count_down();
  // The setting answers its previous value; -1 refuses it.
  if (closed || files[0] <= 0 || files[1] <= 0 || Int32At(wait, 0) < 0) {
    log.failure = "the writer's connection was not set up";
    return;
  }
  auto transaction = [&](uint8_t opcode, int32_t* status) {
    const Bytes reply = c.Raw(opcode, [&](MessageBuffer& b) { PutInt32(b, c.env()); }, &closed);
    if (!closed) *status = Int32At(reply, 0);
    return !closed;
  };
  std::string error;
  for (;;) {
    const int32_t id = next_id.fetch_add(1);
    log.in_flight = id;
    int32_t status = 0;
    if (!transaction(opcode::kBeginTX, &status)) return;
    if (status != 0) {
      log.failure = "begin refused with status " + std::to_string(status);
      return;
    }
    bool written = true;
    for (int f = 0; f < 2 && written; ++f) {
      if (!CallExtWrite(c.client(), files[f], Row(id, kFiles[f]), "", TMBIO_WRITE_INSERT, 0,
                        &status, &error)) {
        return;
      }
      written = status > 0;
    }
    if (written) {
      log.commit_in_flight = true;
      if (!transaction(opcode::kCommitTX, &status)) return;
      log.commit_in_flight = false;
    }
    if (written && status == 0) {
      log.acknowledged.insert(id);
    } else {
      log.refused.insert(id);
      if (!transaction(opcode::kRollbackTX, &status)) return;
    }
    log.in_flight = 0;
  }
}

// One client writing records committed alone (no transaction), each
// acknowledged only once it is durable, in a group with the others'.
void WriteAlone(uint16_t port, std::atomic<int32_t>& next_id, std::latch& ready, WriterLog& log) {
  DataConnection c(port);
  const int32_t file = c.Open(kSingles);
  ready.count_down();
  if (file <= 0) {
    log.failure = "the writer's file did not open";
    return;
  }
  std::string error;
  for (;;) {
    const int32_t id = next_id.fetch_add(1);
    log.in_flight = id;
    log.commit_in_flight = true;  // a write alone is its own commit
    int32_t status = 0;
    if (!CallExtWrite(c.client(), file, Row(id, kSingles), "", TMBIO_WRITE_INSERT, 0, &status,
                      &error)) {
      return;
    }
    log.commit_in_flight = false;
    (status > 0 ? log.acknowledged : log.refused).insert(id);
    log.in_flight = 0;
  }
}

// The ids of a file as the server reads them in key order; false when the
// reads failed.
bool ReadIds(DataConnection& c, int32_t file, std::set<int32_t>* ids) {
  std::string error, record;
  for (int16_t mode = TMBIO_READ_FIRST;; mode = TMBIO_READ_NEXT) {
    int32_t status = 0;
    if (!CallReadRecord(c.client(), file, kRecordLength, mode, &status, &record, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    if (status == TMBIO_END) return true;
    if (status != kRecordLength || record.size() != kRecordLength) {
      ADD_FAILURE() << "read status " << status;
      return false;
    }
    uint32_t id = 0;
    for (int i = 3; i >= 0; --i) id = id << 8 | static_cast<uint8_t>(record[i]);
    ids->insert(static_cast<int32_t>(id));
  }
}

using Writer = void (*)(uint16_t, std::atomic<int32_t>&, std::latch&, WriterLog&);

class CrashTest : public DataServerTest {
 protected:
  // Rounds of `writers` clients running `write` against `files`, the server
  // killed in each after a random 0.2-1.5 s and restarted, the files judged
  // after every restart.
  void KillRounds(const std::vector<std::string>& files, int writers, Writer write, int rounds);
};

// Rounds: 50 (transactions) and 20 (writes alone) in a plain build. The
// sanitizer builds run on a loaded 2-core machine where a round costs
// several times more, so they take 15 and 6 (set by CMake) to stay within a
// few minutes; TMB_CRASH_ROUNDS overrides the count of transactions' rounds.
void CrashTest::KillRounds(const std::vector<std::string>& files, int writers, Writer write,
                           int rounds) {
  for (const std::string& name : files) CreateFile(name + ".tmb", Keyed());
  const unsigned seed = static_cast<unsigned>(
      EnvironmentNumber("TMB_CRASH_SEED", static_cast<int>(std::random_device{}() & 0x7fffffff)));
  std::cout << "crash test: seed " << seed << " (TMB_CRASH_SEED repeats it), " << rounds
            << " rounds\n";
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_ms(200, 1500);

  const auto start = std::chrono::steady_clock::now();
  std::atomic<int32_t> next_id{1};
  std::set<int32_t> committed;  // acknowledged, or found whole after a kill
  int64_t acknowledged = 0, refused = 0, cut = 0, cut_found = 0;
  int64_t lost = 0, torn = 0, stray = 0, check_failures = 0;
  int rounds_in_flight = 0, rounds_commit_in_flight = 0;
  for (int round = 1; round <= rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    std::vector<WriterLog> logs(static_cast<size_t>(writers));
    std::latch ready(writers);
    std::vector<std::thread> threads;
    for (WriterLog& log : logs) {
      threads.emplace_back(write, server_.port(), std::ref(next_id), std::ref(ready),
                           std::ref(log));
    }
    ready.wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    const bool killed = kill(server_.pid(), SIGKILL) == 0 && server_.WaitExit(30);
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(killed);
    // Killed, it left no report; one in its standard error came before.
    EXPECT_EQ(server_.StopProblems(), "");

    std::set<int32_t> in_flight;
    bool commit_cut = false;
    for (const WriterLog& log : logs) {
      ASSERT_EQ(log.failure, "");
      committed.insert(log.acknowledged.begin(), log.acknowledged.end());
      acknowledged += static_cast<int64_t>(log.acknowledged.size());
      refused += static_cast<int64_t>(log.refused.size());
      if (log.in_flight != 0) in_flight.insert(log.in_flight);
      commit_cut = commit_cut || log.commit_in_flight;
    }
    rounds_in_flight += in_flight.empty() ? 0 : 1;
    rounds_commit_in_flight += commit_cut ? 1 : 0;
    cut += static_cast<int64_t>(in_flight.size());

    // Restarted on the same files: opening them brings in what the kill
    // left committed.
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
    std::vector<std::set<int32_t>> ids(files.size());
    {
      DataConnection reader(server_.port());
      for (size_t f = 0; f < files.size(); ++f) {
        ASSERT_TRUE(ReadIds(reader, reader.Open(files[f]), &ids[f]));
      }
    }
    const TransactionAudit audit = AuditTransactions(ids, committed, &in_flight);
    EXPECT_TRUE(audit.whole()) << audit.report;
    lost += audit.lost;
    torn += audit.torn;
    stray += audit.stray;
    // A cut write found whole is committed from now on: it must stay.
    for (int32_t id : in_flight) {
      bool everywhere = true;
      for (const std::set<int32_t>& held : ids) everywhere = everywhere && held.count(id) != 0;
      if (everywhere) {
        committed.insert(id);
        ++cut_found;
      }
    }
    for (const std::string& name : files) {
      const ProgramRun check =
          RunProgram(TMBADMIN_PATH, {"check", DataDir() + "/" + name + ".tmb"}, server_.dir());
      EXPECT_EQ(check.code, 0) << name << ":\n" << check.out << check.err;
      check_failures += check.code == 0 ? 0 : 1;
    }
    if (HasFatalFailure()) return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "crash test: " << rounds << " rounds, " << rounds << " kills, " << acknowledged
            << " acknowledged, " << refused << " refused; " << cut << " cut by the kill ("
            << cut_found << " found committed), in flight in " << rounds_in_flight
            << " rounds, a commit in flight in " << rounds_commit_in_flight << "; lost " << lost
            << ", torn " << torn << ", stray " << stray << ", tmbadmin check failures "
            << check_failures << "; " << seconds << " s\n";
  EXPECT_GT(acknowledged, 0);
  // The kill must fall inside the load, not after it: most rounds cut a
  // write, and some cut a commit.
  EXPECT_GT(rounds_in_flight * 2, rounds);
  EXPECT_GT(rounds_commit_in_flight, 0);
}

TEST_F(CrashTest, KilledAtRandomMomentsOfTwoFileTransactionsLeavesThemWhole) {
  KillRounds({kFiles[0], kFiles[1]}, 8, Write,
             EnvironmentNumber("TMB_CRASH_ROUNDS", TMB_CRASH_ROUNDS));
}

// Sixteen clients whose writes, each committed alone, share their syncs.
TEST_F(CrashTest, KilledAmidDurableWritesFromSixteenClientsKeepsEveryAcknowledgedOne) {
  KillRounds({kSingles}, 16, WriteAlone, TMB_CRASH_ROUNDS_ALONE);
}

}  // namespace
}  // namespace tmb::test
