// Round trips of the data requests against the real server over loopback,
// in the same run as the bare echo (opcode 16), with 1 and 16 clients:
// requests per second and latency percentiles across all clients of a run.
// What a handler costs is its figures less the echo's.
//
//   Echo          opcode 16, 64-byte body
//   ReadByKey     opcode 42: seek equal on a random key and read, one request
//   ReadNext      opcode 4, read mode 2 (back to the first at the end)
//   ReadBlock     opcode 64 from the first record: 256 slots of 71 bytes
//   ExtWrite      opcode 35, update by key of a random record (durable write)
//
// Echo and ReadByKey run again over TLS (suffix Tls), against a second
// server whose certificate setting is on, so plain and TLS figures come from
// one run. Connect / ConnectTls open a connection, say Hello and close it:
// the rate of new connections, TLS hand-shake included.
#include <benchmark/benchmark.h>

#include <memory>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/data_calls.h"
#include "client/load_ops.h"
#include "client/session_calls.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace {

constexpr int32_t kRecords = 10000;
constexpr int32_t kRecordLength = 64;

std::string Int32Le(int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  return std::string{static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                     static_cast<char>(u >> 24)};
}

std::string Record(int32_t id, uint32_t salt) {
  std::string r = Int32Le(id) + "name " + std::to_string(id);
  r.resize(kRecordLength, static_cast<char>('a' + salt % 26));
  return r;
}

// How a client reaches `server`: TLS verified against the test CA, or plain.
tmb::ClientTls TlsFor(const tmb::test::ServerProcess& server, bool tls) {
  tmb::ClientTls options;
  options.enabled = tls;
  options.ca_file = server.dir() + "/ca.pem";
  return options;
}

// A server with "bench.tmb" of kRecords records, TLS on or off.
std::unique_ptr<tmb::test::ServerProcess> MakeServer(bool tls) {
  auto s = std::make_unique<tmb::test::ServerProcess>();
  const std::string dir = s->dir() + "/demo";
  if (mkdir(dir.c_str(), 0755) != 0) std::abort();
  tmbio::FileDefinition def;
  def.description = "benchmark";
  def.kind = TMBIO_KIND_EXTENDED;
  def.record_length = kRecordLength;
  def.fields = {{"id", "int", 0, 4, false, ""}, {"name", "char", 4, 60, false, ""}};
  tmbio::KeyDef key;
  key.name = "by_id";
  key.segments = {{"id", 0, 4, TMBIO_SEG_SIGNED, 0}};
  def.keys = {key};
  std::string error;
  if (tmbio::CreateDataFile(dir + "/bench.tmb", def, &error) != 0) std::abort();
  if (tls) {
    const tmb::test::TestCertificates& certs = tmb::test::Certificates();
    if (!tmb::test::WriteTextFile(s->dir() + "/server.pem", certs.ServerPem()) ||
        !tmb::test::WriteTextFile(s->dir() + "/ca.pem", certs.ca.certificate)) {
      std::abort();
    }
    s->machine_hive = tmb::test::MachineHive("\"SSL\"=\"" + s->dir() + "/server.pem\"\n");
  }
  if (!s->Start()) std::abort();
  // Loaded in one transaction: one durable commit instead of ten thousand.
  tmb::Client c;
  int32_t env = 0, status = 0;
  tmb::OpenedFile file;
  int16_t code = 0;
  if (!c.Connect("127.0.0.1", s->port(), TlsFor(*s, tls), &error) ||
      !tmb::CallHello(c, &code, &error) || !tmb::CallAllocEnv(c, &env, &error) ||
      !tmb::CallOpenFile(c, env, "bench.tmb", 0, &file, &error) || file.id == -1) {
    std::abort();
  }
  c.BeginRequest(48);
  tmb::PutInt32(c.request(), env);
  c.Call(&error);
  for (int32_t id = 1; id <= kRecords; ++id) {
    if (!tmb::CallExtWrite(c, file.id, Record(id, 0), "", TMBIO_WRITE_INSERT, 0, &status,
                           &error) ||
        status <= 0) {
      std::abort();
    }
  }
  c.BeginRequest(49);
  tmb::PutInt32(c.request(), env);
  c.Call(&error);
  return s;
}

// One plain and one TLS server for the whole run, each made on first use;
// destroyed at exit, which stops them and removes their directories.
tmb::test::ServerProcess& Server(bool tls) {
  static std::unique_ptr<tmb::test::ServerProcess> plain;
  static std::unique_ptr<tmb::test::ServerProcess> secure;
  static std::mutex made;
  std::lock_guard<std::mutex> lock(made);
  std::unique_ptr<tmb::test::ServerProcess>& server = tls ? secure : plain;
  if (!server) server = MakeServer(tls);
  return *server;
}

std::mutex g_mu;
std::vector<double> g_latencies_us;
std::atomic<int> g_done{0};

// A client thread's connection with the file open.
struct Session {
  tmb::Client client;
  int32_t file = -1;
  bool Open(bool tls, std::string* error) {
    int16_t code = 0;
    int32_t env = 0;
    tmb::OpenedFile f;
    const tmb::test::ServerProcess& server = Server(tls);
    if (!client.Connect("127.0.0.1", server.port(), TlsFor(server, tls), error) ||
        !tmb::CallHello(client, &code, error) || !tmb::CallAllocEnv(client, &env, error) ||
        !tmb::CallOpenFile(client, env, "bench.tmb", 0, &f, error)) {
      return false;
    }
    file = f.id;
    return file != -1;
  }
};

// The file every data request of a run goes to: bench.tmb, key 1 the id
// at the start of each record.
tmb::LoadTarget Target(const Session& s) {
  tmb::LoadTarget t;
  t.file = s.file;
  t.record_size = kRecordLength;
  t.write_mode = TMBIO_WRITE_UPDATE_KEY;
  return t;
}

// Latencies of every thread of a run; the last thread to finish reports
// their percentiles (counters are summed over threads otherwise).
void Report(benchmark::State& state, const std::vector<double>& latencies) {
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  std::lock_guard<std::mutex> lock(g_mu);
  g_latencies_us.insert(g_latencies_us.end(), latencies.begin(), latencies.end());
  if (++g_done == state.threads() && !g_latencies_us.empty()) {
    std::sort(g_latencies_us.begin(), g_latencies_us.end());
    auto at = [](double q) {
      return g_latencies_us[static_cast<size_t>(q * static_cast<double>(g_latencies_us.size() - 1))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
  }
}

void StartRun(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_latencies_us.clear();
    g_done = 0;
  }
}

double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

void Run(benchmark::State& state, tmb::LoadOp op, bool tls = false) {
  StartRun(state);
  Session s;
  std::string error;
  if (!s.Open(tls, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::mt19937 rng(static_cast<uint32_t>(state.thread_index() * 7919 + 1));
  std::vector<double> latencies;
  latencies.reserve(1 << 16);
  const tmb::LoadTarget target = Target(s);
  for (auto _ : state) {
    tmb::BuildLoadRequest(s.client, op, target, static_cast<int32_t>(rng() % kRecords) + 1,
                          static_cast<uint32_t>(rng()));
    const auto start = std::chrono::steady_clock::now();
    if (!s.client.Call(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    latencies.push_back(MicrosecondsSince(start));
    if (tmb::JudgeLoadReply(s.client, op, target) != tmb::LoadResult::kOk) {
      state.SkipWithError("unexpected reply");
      break;
    }
  }
  Report(state, latencies);
}

// New connections: connect (with the TLS hand-shake when `tls`), Hello,
// close. The latency is the whole of it.
void Connect(benchmark::State& state, bool tls) {
  StartRun(state);
  const tmb::test::ServerProcess& server = Server(tls);
  const tmb::ClientTls options = TlsFor(server, tls);
  std::string error;
  std::vector<double> latencies;
  latencies.reserve(1 << 14);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    tmb::Client c;
    int16_t code = 0;
    if (!c.Connect("127.0.0.1", server.port(), options, &error) ||
        !tmb::CallHello(c, &code, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    c.Close();
    latencies.push_back(MicrosecondsSince(start));
  }
  Report(state, latencies);
}

void BM_Echo(benchmark::State& state) { Run(state, tmb::LoadOp::kEcho); }
void BM_ReadByKey(benchmark::State& state) { Run(state, tmb::LoadOp::kReadByKey); }
void BM_ReadNext(benchmark::State& state) { Run(state, tmb::LoadOp::kReadNext); }
void BM_ReadBlock(benchmark::State& state) { Run(state, tmb::LoadOp::kReadBlock); }
void BM_ExtWrite(benchmark::State& state) { Run(state, tmb::LoadOp::kWrite); }

void BM_EchoTls(benchmark::State& state) { Run(state, tmb::LoadOp::kEcho, true); }
void BM_ReadByKeyTls(benchmark::State& state) { Run(state, tmb::LoadOp::kReadByKey, true); }
void BM_Connect(benchmark::State& state) { Connect(state, false); }
void BM_ConnectTls(benchmark::State& state) { Connect(state, true); }

BENCHMARK(BM_Echo)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_EchoTls)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ReadByKey)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ReadByKeyTls)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_Connect)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ConnectTls)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ReadNext)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ReadBlock)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_ExtWrite)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace
