// The load and soak driver of bench/soak.sh, on the client library, against
// a server already running on the loopback address.
//
//   soak create DIR          two empty shared data files, a.tmb and b.tmb
//   soak run PORT PID [--connections N] [--clients N] [--seconds S]
//            [--kills N] [--soaks N] [--rss-tolerance-kib K] [--counts FILE]
//
// `run` seeds both files, then soaks twice (or N times). Each soak: (1) holds N
// connections (default 5000) open at once, each served a Hello and an echo
// while all are open; (2) runs the clients (default 64) for S seconds
// (default 60), mixing reads by key, read-next, writes committed alone and
// transactions over both files, each counting what the server acknowledged;
// (3) kills clients mid-request (half a frame, then a reset) and
// mid-transaction (the socket reset, or a forked client SIGKILLed). After
// each soak the server's threads and descriptors (/proc/PID) must come back
// to their counts before the first, and its resident memory after the
// second may pass that after the first by the tolerance alone. Every record
// a client was told is there must be found, every one of a rolled-back or
// killed transaction must not. The counts the files must hold go to FILE
// (lines "a.tmb N") for the script to hold tmbadmin's against. Exit 0 when
// every check held, 1 when one failed, 2 on wrong usage or no server.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "client/data_calls.h"
#include "client/load_ops.h"
#include "client/session_calls.h"
#include "tests/support/schema.h"
#include "tmbio/admin.h"
#include "tmbio/tmbio.h"
#include "wire/frame.h"
#include "wire/opcodes.h"

namespace {

using Clock = std::chrono::steady_clock;
using tmb::CallTransaction;
using tmb::test::Int32Le;
namespace op = tmb::opcode;

constexpr int32_t kRecordLength = 64;
constexpr int32_t kSeeded = 1000;  // ids 1 to kSeeded in each file, never removed
constexpr const char* kFiles[2] = {"a.tmb", "b.tmb"};

// Ids are unique across the run: the soak (up to 20), then the client (up to
// 500: the mixing ones below kKillClients, the killed ones from there), then
// a sequence below kIdsPerClient.
constexpr int kKillClients = 300;
constexpr int kMaxKills = 80;  // each soak's killed clients: 2.5 numbers each
constexpr int32_t kIdsPerClient = 200'000;
int32_t IdOf(int soak, int client, int32_t seq) {
  return soak * 100'000'000 + client * kIdsPerClient + seq;
}

std::string Record(int32_t id) {
  std::string r = Int32Le(id) + "soak record " + std::to_string(id);
  r.resize(kRecordLength, '.');
  return r;
}

// ---------------------------------------------------------------------------
// The server process as /proc shows it.

struct ProcessSample {
  int threads = 0;
  int descriptors = 0;
  long rss_kib = 0;
};

int CountEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

ProcessSample Sample(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessSample s;
  s.threads = CountEntries(base + "/task");
  s.descriptors = CountEntries(base + "/fd");
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::atol(line.c_str() + 6);
  }
  return s;
}

// ---------------------------------------------------------------------------
// Requests.

struct Options {
  uint16_t port = 0;
  pid_t pid = 0;
  int connections = 5000;
  int clients = 64;
  int seconds = 60;
  int kills = 16;
  int soaks = 2;
  long rss_tolerance_kib = 4096;
  std::string counts_file;
};

Options g_options;
std::atomic<int> g_failures{0};
std::mutex g_print;

void Fail(const std::string& what) {
  ++g_failures;
  std::lock_guard<std::mutex> lock(g_print);
  std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

bool Connect(tmb::Client& c, std::string* error) {
  int16_t code = 0;
  return c.Connect("127.0.0.1", g_options.port, error) && tmb::CallHello(c, &code, error);
}

// The int32 status that begins a reply, or false when the exchange failed.
bool StatusCall(tmb::Client& c, int32_t* status, std::string* error) {
  return c.Exchange(error, [status](tmb::MessageBuffer& r) { *status = tmb::GetInt32(r); });
}

// Seek equal on key 1 and read, in one request.
bool ReadByKey(tmb::Client& c, int32_t file, int32_t id, int32_t* status, std::string* error) {
  tmb::LoadTarget target;
  target.file = file;
  target.record_size = kRecordLength;
  tmb::BuildLoadRequest(c, tmb::LoadOp::kReadByKey, target, id, 0);
  return StatusCall(c, status, error);
}

bool Insert(tmb::Client& c, int32_t file, int32_t id, int32_t* status, std::string* error) {
  return tmb::CallExtWrite(c, file, Record(id), "", TMBIO_WRITE_INSERT, 0, status, error);
}

// A client with an environment and both files open.
struct DataClient {
  tmb::Client client;
  int32_t env = 0;
  int32_t files[2] = {-1, -1};

  bool Open(std::string* error) {
    if (!Connect(client, error) || !tmb::CallAllocEnv(client, &env, error)) return false;
    for (int f = 0; f < 2; ++f) {
      tmb::OpenedFile opened;
      if (!tmb::CallOpenFile(client, env, kFiles[f], 0, &opened, error)) return false;
      if (opened.id == -1) {
        *error = std::string("open of ") + kFiles[f] + " failed, error " +
                 std::to_string(opened.error);
        return false;
      }
      files[f] = opened.id;
    }
    return true;
  }
};

// Whether `id` is in file `f` as it stands: true found, false not found.
// Waits out a transaction still being rolled back (BUSY) for up to 20 s.
bool Present(DataClient& d, int f, int32_t id) {
  const auto end = Clock::now() + std::chrono::seconds(20);
  std::string error;
  for (;;) {
    int32_t status = 0;
    if (!ReadByKey(d.client, d.files[f], id, &status, &error)) {
      Fail("read of id " + std::to_string(id) + ": " + error);
      return false;
    }
    if (status == kRecordLength) return true;
    if (status == TMBIO_END) return false;
    if (status != TMBIO_BUSY && status != TMBIO_LOCKED) {
      Fail("read of id " + std::to_string(id) + " answered " + std::to_string(status));
      return false;
    }
    if (Clock::now() > end) {
      Fail("id " + std::to_string(id) + " still busy after 20 s");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// ---------------------------------------------------------------------------
// Seeding.

void Seed() {
  DataClient d;
  std::string error;
  if (!d.Open(&error)) {
    std::fprintf(stderr, "soak: cannot seed: %s\n", error.c_str());
    std::exit(2);
  }
  int32_t status = 0;
  CallTransaction(d.client, op::kBeginTX, d.env, &status, &error);
  for (int f = 0; f < 2; ++f) {
    for (int32_t id = 1; id <= kSeeded; ++id) {
      if (!Insert(d.client, d.files[f], id, &status, &error) || status < 0) {
        std::fprintf(stderr, "soak: seeding %s failed: %s %d\n", kFiles[f], error.c_str(), status);
        std::exit(2);
      }
    }
  }
  if (!CallTransaction(d.client, op::kCommitTX, d.env, &status, &error) || status < 0) {
    std::fprintf(stderr, "soak: seeding commit failed: %s %d\n", error.c_str(), status);
    std::exit(2);
  }
}

// ---------------------------------------------------------------------------
// Phase 1: connections held at once.

struct HoldResult {
  int held = 0;
  int served = 0;
  ProcessSample during;
};

HoldResult Hold(int count) {
  HoldResult result;
  std::vector<std::unique_ptr<tmb::Client>> clients;
  clients.reserve(static_cast<size_t>(count));
  std::string error;
  for (int i = 0; i < count; ++i) {
    auto c = std::make_unique<tmb::Client>();
    if (!Connect(*c, &error)) {
      Fail("connection " + std::to_string(i + 1) + " of " + std::to_string(count) + ": " + error);
      break;
    }
    clients.push_back(std::move(c));
  }
  result.held = static_cast<int>(clients.size());
  // Every one is asked again only once all are open.
  for (size_t i = 0; i < clients.size(); ++i) {
    tmb::Client& c = *clients[i];
    tmb::BuildLoadRequest(c, tmb::LoadOp::kEcho, {}, 0, 0);
    if (c.Call(&error) && tmb::JudgeLoadReply(c, tmb::LoadOp::kEcho, {}) == tmb::LoadResult::kOk) {
      ++result.served;
    } else {
      Fail("echo on held connection " + std::to_string(i + 1) + ": " + error);
    }
  }
  result.during = Sample(g_options.pid);
  return result;
}

// ---------------------------------------------------------------------------
// Phase 2: clients mixing reads, writes and transactions.

struct MixCounts {
  long requests = 0;
  long reads_by_key = 0;
  long reads_next = 0;
  long inserts[2] = {};   // acknowledged, in each file
  long removes[2] = {};   // acknowledged, in each file
  long commits = 0;
  long rollbacks = 0;
  long busy = 0;  // BUSY or LOCKED answers: a write that changed nothing

  void Add(const MixCounts& o) {
    requests += o.requests;
    reads_by_key += o.reads_by_key;
    reads_next += o.reads_next;
    for (int f = 0; f < 2; ++f) {
      inserts[f] += o.inserts[f];
      removes[f] += o.removes[f];
    }
    commits += o.commits;
    rollbacks += o.rollbacks;
    busy += o.busy;
  }
};

bool Contended(int32_t status) { return status == TMBIO_BUSY || status == TMBIO_LOCKED; }

class MixClient {
 public:
  MixClient(int soak, int number) : soak_(soak), number_(number), rng_(soak * 1000 + number) {}

  void Run(Clock::time_point end) {
    std::string error;
    if (!d_.Open(&error)) {
      Fail("client " + std::to_string(number_) + " cannot open: " + error);
      return;
    }
    // A client that has used up its ids stops early; at the rate of this
    // machine that takes hours.
    while (Clock::now() < end && g_failures.load() < 20 && seq_ < kIdsPerClient - 4) {
      const uint32_t pick = rng_() % 100;
      bool ok;
      if (pick < 30) {
        ok = ReadKnown();
      } else if (pick < 50) {
        ok = ReadNext();
      } else if (pick < 65) {
        ok = InsertAlone();
      } else if (pick < 75) {
        ok = RemoveAlone();
      } else {
        ok = Transaction(pick < 95);
      }
      if (!ok) return;
    }
  }

  const MixCounts& counts() const { return counts_; }

 private:
  bool Failed(const std::string& what, int32_t status = 0) {
    Fail("client " + std::to_string(number_) + ": " + what + " " + std::to_string(status) + " " +
         error_);
    return false;
  }

  bool ReadKnown() {
    const int f = static_cast<int>(rng_() % 2);
    const bool own = !live_[f].empty() && rng_() % 2 == 0;
    const int32_t id = own ? live_[f][rng_() % live_[f].size()]
                           : static_cast<int32_t>(rng_() % kSeeded) + 1;
    int32_t status = 0;
    ++counts_.requests;
    if (!ReadByKey(d_.client, d_.files[f], id, &status, &error_)) return Failed("read by key");
    ++counts_.reads_by_key;
    if (status == kRecordLength) return true;
    if (Contended(status)) {
      ++counts_.busy;
      return true;
    }
    return Failed("lost record " + std::to_string(id) + " in " + kFiles[f] + ", read answered",
                  status);
  }

  bool ReadNext() {
    const int f = static_cast<int>(rng_() % 2);
    int32_t status = 0;
    std::string record;
    ++counts_.requests;
    const int16_t mode = at_end_[f] ? TMBIO_READ_FIRST : TMBIO_READ_NEXT;
    if (!tmb::CallReadRecord(d_.client, d_.files[f], kRecordLength, mode, &status, &record,
                             &error_)) {
      return Failed("read next");
    }
    ++counts_.reads_next;
    at_end_[f] = status == TMBIO_END || status == TMBIO_NO_CURRENT;
    if (status > 0 || status == TMBIO_FILLED || at_end_[f]) return true;
    if (Contended(status)) {
      ++counts_.busy;
      return true;
    }
    return Failed("read next answered", status);
  }

  bool InsertAlone() {
    const int f = static_cast<int>(rng_() % 2);
    const int32_t id = IdOf(soak_, number_, ++seq_);
    int32_t status = 0;
    ++counts_.requests;
    if (!Insert(d_.client, d_.files[f], id, &status, &error_)) return Failed("insert");
    if (Contended(status)) {
      ++counts_.busy;
      return true;
    }
    if (status < 0) return Failed("insert answered", status);
    live_[f].push_back(id);
    ++counts_.inserts[f];
    return true;
  }

  bool RemoveAlone() {
    const int f = static_cast<int>(rng_() % 2);
    if (live_[f].empty()) return true;
    const size_t at = rng_() % live_[f].size();
    int32_t status = 0;
    ++counts_.requests;
    if (!tmb::CallRemoveRecord(d_.client, d_.files[f], Int32Le(live_[f][at]), &status, &error_)) {
      return Failed("remove");
    }
    if (Contended(status)) {
      ++counts_.busy;
      return true;
    }
    if (status != 1) return Failed("remove of an acknowledged record answered", status);
    live_[f][at] = live_[f].back();
    live_[f].pop_back();
    ++counts_.removes[f];
    return true;
  }

  // An insert in each file and, when there is one, a remove of an own
  // record of the first; committed, or rolled back when `commit` is false
  // or a step meets another writer.
  bool Transaction(bool commit) {
    int32_t status = 0;
    ++counts_.requests;
    if (!CallTransaction(d_.client, op::kBeginTX, d_.env, &status, &error_)) return Failed("begin");
    if (status < 0) return Failed("begin answered", status);
    const int32_t ids[2] = {IdOf(soak_, number_, ++seq_), IdOf(soak_, number_, ++seq_)};
    bool contended = false;
    for (int f = 0; f < 2 && !contended; ++f) {
      ++counts_.requests;
      if (!Insert(d_.client, d_.files[f], ids[f], &status, &error_)) return Failed("insert in tx");
      if (Contended(status)) contended = true;
      else if (status < 0) return Failed("insert in tx answered", status);
    }
    size_t removed_at = SIZE_MAX;
    if (!contended && !live_[0].empty()) {
      removed_at = rng_() % live_[0].size();
      ++counts_.requests;
      if (!tmb::CallRemoveRecord(d_.client, d_.files[0], Int32Le(live_[0][removed_at]), &status,
                                 &error_)) {
        return Failed("remove in tx");
      }
      if (Contended(status)) contended = true;
      else if (status != 1) return Failed("remove in tx answered", status);
    }
    if (contended) ++counts_.busy;
    ++counts_.requests;
    if (commit && !contended) {
      if (!CallTransaction(d_.client, op::kCommitTX, d_.env, &status, &error_)) {
        return Failed("commit");
      }
      if (status < 0) return Failed("commit answered", status);
      ++counts_.commits;
      if (removed_at != SIZE_MAX) {
        live_[0][removed_at] = live_[0].back();
        live_[0].pop_back();
        ++counts_.removes[0];
      }
      for (int f = 0; f < 2; ++f) {
        live_[f].push_back(ids[f]);
        ++counts_.inserts[f];
      }
      return true;
    }
    if (!CallTransaction(d_.client, op::kRollbackTX, d_.env, &status, &error_)) {
      return Failed("rollback");
    }
    if (status < 0) return Failed("rollback answered", status);
    ++counts_.rollbacks;
    // Nothing of it may be seen, and the record it removed is back.
    for (int f = 0; f < 2; ++f) {
      ++counts_.requests;
      if (Present(d_, f, ids[f])) return Failed("rolled-back insert found: id", ids[f]);
    }
    if (removed_at != SIZE_MAX) {
      ++counts_.requests;
      if (!Present(d_, 0, live_[0][removed_at])) {
        return Failed("rolled-back remove lost id", live_[0][removed_at]);
      }
    }
    return true;
  }

  int soak_;
  int number_;
  std::mt19937 rng_;
  DataClient d_;
  std::string error_;
  int32_t seq_ = 0;
  std::vector<int32_t> live_[2];  // own acknowledged records in each file
  bool at_end_[2] = {true, true};
  MixCounts counts_;
};

MixCounts Mix(int soak) {
  std::vector<std::unique_ptr<MixClient>> clients;
  for (int i = 0; i < g_options.clients; ++i) {
    clients.push_back(std::make_unique<MixClient>(soak, i));
  }
  const auto end = Clock::now() + std::chrono::seconds(g_options.seconds);
  std::vector<std::thread> threads;
  for (auto& c : clients) threads.emplace_back([&c, end] { c->Run(end); });
  for (std::thread& t : threads) t.join();
  MixCounts total;
  for (auto& c : clients) total.Add(c->counts());
  return total;
}

// ---------------------------------------------------------------------------
// Phase 3: clients killed mid-request and mid-transaction.

// Closes with a reset, not an orderly end: what a crashed client's kernel
// sends.
void Reset(tmb::Client& c) {
  const linger abort{1, 0};
  setsockopt(c.connection().fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(c.connection().fd);
  c.connection().fd = -1;
}

// Sends the first half of the frame the client's pending request makes.
bool SendHalfFrame(tmb::Client& c) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
  tmb::Connection capture;
  capture.fd = pair[0];
  tmb::CompressionSettings settings = c.compression();
  const bool framed = tmb::SendFrame(capture, c.request(), settings);
  close(pair[0]);
  std::string frame;
  char chunk[4096];
  ssize_t n;
  while ((n = read(pair[1], chunk, sizeof chunk)) > 0) frame.append(chunk, static_cast<size_t>(n));
  close(pair[1]);
  if (!framed || frame.size() < 2) return false;
  const size_t half = frame.size() / 2;
  return send(c.connection().fd, frame.data(), half, MSG_NOSIGNAL) == static_cast<ssize_t>(half);
}

// Begins a transaction on `d` and inserts `ids` into both files.
bool InsertInTransaction(DataClient& d, const int32_t ids[2], std::string* error) {
  int32_t status = 0;
  if (!CallTransaction(d.client, op::kBeginTX, d.env, &status, error) || status < 0) return false;
  for (int f = 0; f < 2; ++f) {
    // Another killed client's transaction may not be rolled back yet.
    const auto end = Clock::now() + std::chrono::seconds(20);
    do {
      if (!Insert(d.client, d.files[f], ids[f], &status, error)) return false;
    } while (Contended(status) && Clock::now() < end &&
             (std::this_thread::sleep_for(std::chrono::milliseconds(20)), true));
    if (status < 0) {
      *error = "insert answered " + std::to_string(status);
      return false;
    }
  }
  return true;
}

struct KillCounts {
  int mid_request = 0;
  int reset_in_tx = 0;
  int killed_in_tx = 0;
};

KillCounts Kills(int soak) {
  KillCounts k;
  std::vector<int32_t> gone;  // ids of killed transactions, never to be found
  std::string error;
  const int base = kKillClients;
  for (int i = 0; i < g_options.kills; ++i) {
    // Half an insert sent, inside a transaction or not, then a reset.
    DataClient d;
    if (!d.Open(&error)) {
      Fail("kill client cannot open: " + error);
      continue;
    }
    const int32_t ids[2] = {IdOf(soak, base + i, 1), IdOf(soak, base + i, 2)};
    if (i % 2 == 1) {
      if (!InsertInTransaction(d, ids, &error)) {
        Fail("transaction before the kill: " + error);
        continue;
      }
      gone.insert(gone.end(), ids, ids + 2);
    }
    const std::string record = Record(IdOf(soak, base + i, 3));
    tmb::BeginExtWrite(d.client, d.files[0], record, "", TMBIO_WRITE_INSERT, 0);
    if (!SendHalfFrame(d.client)) Fail("half frame not sent");
    gone.push_back(IdOf(soak, base + i, 3));
    Reset(d.client);
    ++k.mid_request;

    // A transaction open, then the socket reset with nothing in flight.
    DataClient t;
    const int32_t tx_ids[2] = {IdOf(soak, base + g_options.kills + i, 1),
                               IdOf(soak, base + g_options.kills + i, 2)};
    if (!t.Open(&error) || !InsertInTransaction(t, tx_ids, &error)) {
      Fail("transaction before the reset: " + error);
      continue;
    }
    gone.insert(gone.end(), tx_ids, tx_ids + 2);
    Reset(t.client);
    ++k.reset_in_tx;
  }
  // A client process inside a transaction, SIGKILLed. No other thread of
  // this process runs now, so the child may use the heap freely.
  for (int i = 0; i < (g_options.kills + 1) / 2; ++i) {
    const int32_t ids[2] = {IdOf(soak, base + 2 * g_options.kills + i, 1),
                            IdOf(soak, base + 2 * g_options.kills + i, 2)};
    int ready[2];
    if (pipe(ready) != 0) {
      Fail("pipe");
      break;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      DataClient d;
      std::string child_error;
      const char ok = d.Open(&child_error) && InsertInTransaction(d, ids, &child_error) ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    const bool told = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    if (!told) {
      Fail("forked client did not reach its transaction");
      continue;
    }
    gone.insert(gone.end(), ids, ids + 2);
    ++k.killed_in_tx;
  }
  // Nothing a killed client sent may have stayed.
  DataClient check;
  if (!check.Open(&error)) {
    Fail("checking client cannot open: " + error);
    return k;
  }
  for (int32_t id : gone) {
    for (int f = 0; f < 2; ++f) {
      if (Present(check, f, id)) {
        Fail("a killed client's record is there: id " + std::to_string(id));
      }
    }
  }
  return k;
}

// ---------------------------------------------------------------------------

// Waits up to 30 s for the threads and descriptors to come back to `base`.
ProcessSample Settle(const ProcessSample& base) {
  ProcessSample s;
  for (int i = 0; i < 300; ++i) {
    s = Sample(g_options.pid);
    if (s.threads == base.threads && s.descriptors == base.descriptors) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return s;
}

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fflush(stdout);
}

int Run() {
  // Every held connection is a descriptor here too.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Seed();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const ProcessSample base = Sample(g_options.pid);
  if (base.threads <= 0) {
    std::fprintf(stderr, "soak: no process %d\n", static_cast<int>(g_options.pid));
    return 2;
  }
  Print("start: %d threads, %d descriptors, VmRSS %ld KiB\n", base.threads, base.descriptors,
        base.rss_kib);
  long expected[2] = {kSeeded, kSeeded};
  std::vector<long> rss_after(static_cast<size_t>(g_options.soaks));
  for (int soak = 1; soak <= g_options.soaks; ++soak) {
    const auto started = Clock::now();
    const HoldResult hold = Hold(g_options.connections);
    Print("soak %d hold: %d of %d connections held, %d served while all open; server then %d "
          "threads, %d descriptors, VmRSS %ld KiB\n",
          soak, hold.held, g_options.connections, hold.served, hold.during.threads,
          hold.during.descriptors, hold.during.rss_kib);
    if (hold.held != g_options.connections || hold.served != hold.held) {
      Fail("not every connection was held and served");
    }
    const MixCounts mix = Mix(soak);
    for (int f = 0; f < 2; ++f) expected[f] += mix.inserts[f] - mix.removes[f];
    Print("soak %d mix: %d clients for %d s: %ld requests, %ld reads by key, %ld read-next, "
          "inserts %ld + %ld, removes %ld + %ld, %ld commits, %ld rollbacks, %ld busy\n",
          soak, g_options.clients, g_options.seconds, mix.requests, mix.reads_by_key,
          mix.reads_next, mix.inserts[0], mix.inserts[1], mix.removes[0], mix.removes[1],
          mix.commits, mix.rollbacks, mix.busy);
    const KillCounts kills = Kills(soak);
    Print("soak %d kills: %d mid-request (half a frame, then a reset), %d reset in a transaction, "
          "%d client processes SIGKILLed in a transaction\n",
          soak, kills.mid_request, kills.reset_in_tx, kills.killed_in_tx);
    const ProcessSample after = Settle(base);
    rss_after[static_cast<size_t>(soak - 1)] = after.rss_kib;
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    Print("soak %d after (%.0f s): %d threads, %d descriptors, VmRSS %ld KiB\n", soak, took,
          after.threads, after.descriptors, after.rss_kib);
    if (after.threads != base.threads) {
      Fail("threads " + std::to_string(after.threads) + ", at start " +
           std::to_string(base.threads));
    }
    if (after.descriptors != base.descriptors) {
      Fail("descriptors " + std::to_string(after.descriptors) + ", at start " +
           std::to_string(base.descriptors));
    }
  }
  // Memory kept for reuse after the first soak is fine; more after a later
  // one is growth.
  for (size_t i = 1; i < rss_after.size(); ++i) {
    if (rss_after[i] > rss_after[0] + g_options.rss_tolerance_kib) {
      Fail("VmRSS grew from " + std::to_string(rss_after[0]) + " KiB after the first soak to " +
           std::to_string(rss_after[i]) + " KiB after soak " + std::to_string(i + 1) +
           " (tolerance " + std::to_string(g_options.rss_tolerance_kib) + " KiB)");
    }
  }
  Print("VmRSS after each soak:");
  for (long kib : rss_after) Print(" %ld KiB", kib);
  Print(" (tolerance over the first %ld KiB)\n", g_options.rss_tolerance_kib);
  for (int f = 0; f < 2; ++f) Print("expected %s: %ld records\n", kFiles[f], expected[f]);
  if (!g_options.counts_file.empty()) {
    std::ofstream out(g_options.counts_file);
    for (int f = 0; f < 2; ++f) out << kFiles[f] << " " << expected[f] << "\n";
  }
  return g_failures.load() == 0 ? 0 : 1;
}

int Create(const std::string& dir) {
  tmb::test::Schema schema;
  schema.record_length = kRecordLength;
  schema.description = "soak";
  schema.Field("id", "int", 0, 4).Field("text", "char", 4, kRecordLength - 4);
  schema.Key("by_id", "id", TMBIO_SEG_SIGNED);
  for (const char* name : kFiles) {
    std::string error;
    if (tmbio::CreateDataFile(dir + "/" + name, schema.Definition(), &error) != 0) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: soak create DIR\n"
               "       soak run PORT PID [--connections N] [--clients N] [--seconds S]\n"
               "                [--kills N] [--soaks N] [--rss-tolerance-kib K] [--counts FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "create") == 0) return Create(argv[2]);
  if (argc < 4 || std::strcmp(argv[1], "run") != 0) return Usage();
  g_options.port = static_cast<uint16_t>(std::atoi(argv[2]));
  g_options.pid = static_cast<pid_t>(std::atoi(argv[3]));
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    const int number = std::atoi(value);
    if (name == "--connections") g_options.connections = number;
    else if (name == "--clients") g_options.clients = std::clamp(number, 0, kKillClients);
    else if (name == "--seconds") g_options.seconds = number;
    else if (name == "--kills") g_options.kills = std::clamp(number, 0, kMaxKills);
    else if (name == "--soaks") g_options.soaks = std::clamp(number, 2, 20);
    else if (name == "--rss-tolerance-kib") g_options.rss_tolerance_kib = std::atol(value);
    else if (name == "--counts") g_options.counts_file = value;
    else return Usage();
  }
  if ((argc - 4) % 2 != 0 || g_options.port == 0 || g_options.pid <= 0) return Usage();
  signal(SIGPIPE, SIG_IGN);
  return Run();
}
