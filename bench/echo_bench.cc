// Round trips of the echo request (opcode 16) against the real server over
// loopback, with 1 and 16 clients: requests per second and latency
// percentiles across all clients of a run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "client/client.h"
#include "tests/e2e/server_process.h"

namespace {

tmb::test::ServerProcess& Server() {
  // Destroyed at exit, which stops the server and removes its directory.
  static std::unique_ptr<tmb::test::ServerProcess> server([] {
    auto* s = new tmb::test::ServerProcess;
    if (!s->Start()) std::abort();
    return s;
  }());
  return *server;
}

std::mutex g_mu;
std::vector<double> g_latencies_us;
std::atomic<int> g_done{0};

void Percentiles(benchmark::State& state) {
  std::sort(g_latencies_us.begin(), g_latencies_us.end());
  auto at = [](double q) { return g_latencies_us[static_cast<size_t>(q * (g_latencies_us.size() - 1))]; };
  // Counters are summed over threads: only the last thread reports these.
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
}

void BM_EchoRoundTrip(benchmark::State& state) {
  const int payload = static_cast<int>(state.range(0));
  if (state.thread_index() == 0) {
    g_latencies_us.clear();
    g_done = 0;
  }
  tmb::Client client;
  std::string error;
  if (!client.Connect("127.0.0.1", Server().port(), &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  client.BeginRequest(41);
  client.Call(&error);
  std::vector<double> latencies;
  latencies.reserve(1 << 16);
  for (auto _ : state) {
    client.BeginRequest(16);
    for (int i = 0; i < 7 + payload; ++i) tmb::PutByte(client.request(), static_cast<uint8_t>(i * 31));
    const auto start = std::chrono::steady_clock::now();
    if (!client.Call(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    latencies.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  std::lock_guard<std::mutex> lock(g_mu);
  g_latencies_us.insert(g_latencies_us.end(), latencies.begin(), latencies.end());
  if (++g_done == state.threads() && !g_latencies_us.empty()) Percentiles(state);
}

BENCHMARK(BM_EchoRoundTrip)->Arg(64)->Arg(4000)->Threads(1)->Threads(16)->UseRealTime();

}  // namespace
