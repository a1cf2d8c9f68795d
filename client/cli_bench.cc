// tmbcli bench: a load generator for the person who runs a server, in the
// manner of redis-benchmark and pgbench. N clients, each on a connection of
// its own, send one kind of request (or a read/write mix) back to back for
// a time or a count; a progress line shows while it runs on a terminal;
// then requests per second and latency percentiles over every request of
// every client. The requests are the project's benchmarks' own (load_ops).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "client/cli.h"
#include "client/cli_data_session.h"
#include "client/data_calls.h"
#include "client/load_ops.h"
#include "tmbio/tmbio.h"
#include "wire/opcodes.h"

namespace tmb::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Records written per transaction when --prepare fills the file.
constexpr int64_t kPrepareBatch = 500;
// Of every ten requests of the mix, this many read by key; the rest write.
constexpr uint32_t kMixReadsOfTen = 8;

struct OpChoice {
  const char* name;
  const char* title;
  LoadOp op;
  bool mix;
  bool needs_file;
};

const OpChoice kOps[] = {
    {"echo", "echo", LoadOp::kEcho, false, false},
    {"read", "read by key", LoadOp::kReadByKey, false, true},
    {"next", "read next", LoadOp::kReadNext, false, true},
    {"block", "block read", LoadOp::kReadBlock, false, true},
    {"write", "durable write", LoadOp::kWrite, false, true},
    {"mix", "mix of 80% reads by key and 20% durable writes", LoadOp::kReadByKey, true, true},
};

struct Plan {
  const OpChoice* op = &kOps[1];
  int64_t clients = 1;
  int64_t seconds = 10;
  int64_t requests = 0;  // 0: as many as the time allows
  int64_t keys = 10000;
  int64_t size = 0;      // 0: the file's fixed record length
  bool prepare = false;
  std::string file;
};

// What every client thread adds to.
struct Tally {
  std::atomic<int64_t> issued{0};  // tickets taken, when counting requests
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> misses{0};
  std::atomic<int64_t> failed{0};
  std::atomic<int64_t> finished{0};  // clients whose loop has ended
  std::mutex mu;
  std::string broken;  // the first connection that broke, and why
};

bool TakePlan(Context& ctx, Plan* plan) {
  std::string op, error;
  bool present = false;
  if (!TakeOption(&ctx.args, "--op", &op, &present, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    return false;
  }
  if (present) {
    plan->op = nullptr;
    for (const OpChoice& o : kOps) {
      if (op == o.name) plan->op = &o;
    }
    if (plan->op == nullptr) {
      ctx.Err() << "tmbcli: --op takes echo, read, next, block, write or mix, not \"" << op
                << "\"\n";
      return false;
    }
  }
  plan->prepare = TakeFlag(&ctx.args, "--prepare");
  if (!TakeNumber(ctx, "--clients", 1, 1024, &plan->clients) ||
      !TakeNumber(ctx, "--seconds", 1, 86400, &plan->seconds) ||
      !TakeNumber(ctx, "--requests", 1, int64_t{1} << 40, &plan->requests) ||
      !TakeNumber(ctx, "--keys", 1, INT32_MAX, &plan->keys) ||
      !TakeNumber(ctx, "--size", 1, INT32_MAX, &plan->size)) {
    return false;
  }
  const char* usage =
      "bench [FILE] [--op echo|read|next|block|write|mix] [--clients N] [--seconds S] "
      "[--requests N] [--keys N] [--size BYTES] [--prepare]";
  if (ctx.args.size() > 1 || (plan->op->needs_file && ctx.args.empty())) {
    ctx.Err() << "tmbcli: usage: tmbcli " << usage << "\n";
    return false;
  }
  if (!ctx.args.empty()) plan->file = ctx.args[0];
  return true;
}

// Where key 1 sits and how record n's key is written, from the server's
// description of the file; the record size from the plan.
int DescribeTarget(Context& ctx, DataSession& session, const Plan& plan, LoadTarget* target) {
  const OpenedFile& file = session.file();
  if (file.key_count < 1) {
    ctx.Err() << "tmbcli: " << plan.file << " has no key to read or write by\n";
    return kExitUsage;
  }
  std::vector<IndexSegment> segments;
  if (int code = session.KeySegments(1, &segments); code != kExitOk) return code;
  const bool integer = !segments.empty() &&
                       ((segments[0].flags & TMBIO_SEG_TYPE_MASK) == TMBIO_SEG_SIGNED ||
                        (segments[0].flags & TMBIO_SEG_TYPE_MASK) == TMBIO_SEG_UNSIGNED);
  const bool text = !segments.empty() && (segments[0].flags & TMBIO_SEG_TYPE_MASK) == TMBIO_SEG_TEXT;
  const int32_t length = segments.empty() ? 0 : segments[0].length;
  if (segments.size() != 1 || !(text || integer) ||
      (integer && length != 1 && length != 2 && length != 4 && length != 8) || length < 1 ||
      length > TMBIO_MAX_KEY_LENGTH || segments[0].offset < 0 ||
      int64_t{segments[0].offset} + length > file.record_length) {
    ctx.Err() << "tmbcli: bench numbers records by key 1, which must be one integer or text "
                 "segment inside the record\n";
    return kExitUsage;
  }
  const int64_t largest = int64_t{file.record_length} + std::max(file.variable_length, 0);
  const int64_t size = plan.size == 0 ? file.record_length : plan.size;
  if (size < file.record_length || size > largest) {
    ctx.Err() << "tmbcli: --size takes " << file.record_length;
    if (largest > file.record_length) ctx.Err() << " to " << largest;
    ctx.Err() << " bytes for " << FileOf(plan.file) << "\n";
    return kExitUsage;
  }
  target->file = file.id;
  target->record_size = static_cast<int32_t>(size);
  target->key_offset = segments[0].offset;
  target->key_length = length;
  target->key_is_text = text;
  target->write_mode = TMBIO_WRITE_UPSERT;
  return kExitOk;
}

// Writes records 1 to plan.keys, in transactions of kPrepareBatch.
int Prepare(Context& ctx, DataSession& session, const Plan& plan, const LoadTarget& target) {
  Client& c = session.client();
  std::string error;
  int32_t status = 0;
  for (int64_t first = 1; first <= plan.keys; first += kPrepareBatch) {
    if (!CallTransaction(c, opcode::kBeginTX, session.env(), &status, &error)) {
      return Broken(ctx, "beginning a transaction", error);
    }
    if (status < 0) return LibraryFailed(ctx, "beginning a transaction", status);
    for (int64_t n = first; n < first + kPrepareBatch && n <= plan.keys; ++n) {
      const std::string record = LoadRecord(target, n, 0);
      if (!CallExtWrite(c, target.file, record, LoadKey(target, n), TMBIO_WRITE_UPSERT, 0,
                        &status, &error)) {
        return Broken(ctx, "writing record " + std::to_string(n), error);
      }
      if (status < 0) return LibraryFailed(ctx, "writing record " + std::to_string(n), status);
    }
    if (!CallTransaction(c, opcode::kCommitTX, session.env(), &status, &error)) {
      return Broken(ctx, "committing", error);
    }
    if (status < 0) return LibraryFailed(ctx, "committing", status);
  }
  ctx.Out() << "prepared " << plan.keys << " record" << (plan.keys == 1 ? "" : "s") << " in "
            << FileOf(plan.file) << "\n";
  return kExitOk;
}

// One client's loop; its latencies in microseconds go to *latencies.
void RunClient(DataSession& session, const Plan& plan, const LoadTarget& target,
               Clock::time_point deadline, uint32_t seed, Tally& tally,
               std::vector<float>* latencies) {
  struct Finish {
    Tally& tally;
    ~Finish() { tally.finished.fetch_add(1); }
  } finish{tally};
  Client& c = session.client();
  std::mt19937 random(seed);
  std::string error;
  for (;;) {
    if (plan.requests != 0 && tally.issued.fetch_add(1) >= plan.requests) break;
    if (plan.requests == 0 && Clock::now() >= deadline) break;
    LoadOp op = plan.op->op;
    if (plan.op->mix && random() % 10 >= kMixReadsOfTen) op = LoadOp::kWrite;
    const int64_t n = static_cast<int64_t>(random() % static_cast<uint64_t>(plan.keys)) + 1;
    BuildLoadRequest(c, op, target, n, static_cast<uint32_t>(random()));
    const Clock::time_point start = Clock::now();
    if (!c.Call(&error)) {
      const std::lock_guard lock(tally.mu);
      if (tally.broken.empty()) tally.broken = error;
      return;
    }
    latencies->push_back(
        std::chrono::duration<float, std::micro>(Clock::now() - start).count());
    switch (JudgeLoadReply(c, op, target)) {
      case LoadResult::kOk: break;
      case LoadResult::kMiss: tally.misses.fetch_add(1, std::memory_order_relaxed); break;
      case LoadResult::kFailed: tally.failed.fetch_add(1, std::memory_order_relaxed); break;
    }
    tally.done.fetch_add(1, std::memory_order_relaxed);
  }
}

// Waits for the clients; on a terminal, shows the progress once a second.
void Watch(const Tally& tally, std::vector<std::thread>& threads, Clock::time_point start) {
  const bool terminal = isatty(STDERR_FILENO) == 1;
  int64_t last = 0;
  Clock::time_point last_time = start;
  while (tally.finished.load() < static_cast<int64_t>(threads.size())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Clock::time_point now = Clock::now();
    if (!terminal || now - last_time < std::chrono::seconds(1)) continue;
    const int64_t done = tally.done.load();
    std::fprintf(stderr, "\r%7.1f s %12lld requests %10.0f/s ",
                 std::chrono::duration<double>(now - start).count(), static_cast<long long>(done),
                 static_cast<double>(done - last) /
                     std::chrono::duration<double>(now - last_time).count());
    last = done;
    last_time = now;
  }
  for (std::thread& t : threads) t.join();
  if (terminal) std::fprintf(stderr, "\r%50s\r", "");
}

float Percentile(const std::vector<float>& sorted, double q) {
  if (sorted.empty()) return 0;
  return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1))];
}

const char* CompressionName(CompressionChoiceOption choice) {
  switch (choice) {
    case CompressionChoiceOption::kNone: return "no compression";
    case CompressionChoiceOption::kRunLength: return "run-length coding";
    case CompressionChoiceOption::kZlib: return "zlib";
  }
  return "";
}

int Bench(Context& ctx) {
  Plan plan;
  if (!TakePlan(ctx, &plan)) return kExitUsage;

  // Every connection is made, and the file opened, before any request is
  // timed: the figures are of requests, not of connecting.
  std::vector<std::unique_ptr<DataSession>> sessions;
  LoadTarget target;
  for (int64_t i = 0; i < plan.clients; ++i) {
    sessions.push_back(std::make_unique<DataSession>(ctx));
    DataSession& session = *sessions.back();
    const int code = plan.op->needs_file ? session.OpenFile(plan.file) : session.Start();
    if (code != kExitOk) return code;
    if (plan.op->needs_file) {
      if (i == 0) {
        if (int c = DescribeTarget(ctx, session, plan, &target); c != kExitOk) return c;
        if (plan.prepare) {
          if (int c = Prepare(ctx, session, plan, target); c != kExitOk) return c;
        }
      }
    }
  }

  Tally tally;
  std::vector<std::vector<float>> latencies(static_cast<size_t>(plan.clients));
  std::vector<LoadTarget> targets(static_cast<size_t>(plan.clients), target);
  for (size_t i = 0; i < sessions.size(); ++i) targets[i].file = sessions[i]->file().id;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(plan.seconds);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < sessions.size(); ++i) {
    latencies[i].reserve(1 << 16);
    threads.emplace_back(RunClient, std::ref(*sessions[i]), std::cref(plan),
                         std::cref(targets[i]), deadline, static_cast<uint32_t>(i * 7919 + 1),
                         std::ref(tally), &latencies[i]);
  }
  Watch(tally, threads, start);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<float> all;
  for (const std::vector<float>& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  const int64_t done = tally.done.load();
  char line[256];
  ctx.Out() << plan.op->title << ": " << plan.clients << " client"
            << (plan.clients == 1 ? "" : "s") << ", " << (ctx.tls.enabled ? "TLS" : "plain")
            << ", " << CompressionName(ctx.compression);
  if (plan.op->needs_file) ctx.Out() << ", records of " << target.record_size << " bytes";
  ctx.Out() << "\n";
  std::snprintf(line, sizeof line, "  requests     %lld in %.2f s\n", static_cast<long long>(done),
                elapsed);
  ctx.Out() << line;
  std::snprintf(line, sizeof line, "  requests/s   %.0f\n", static_cast<double>(done) / elapsed);
  ctx.Out() << line;
  std::snprintf(line, sizeof line,
                "  latency ms   p50 %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n",
                Percentile(all, 0.50) / 1000, Percentile(all, 0.99) / 1000,
                Percentile(all, 0.999) / 1000, (all.empty() ? 0 : all.back()) / 1000);
  ctx.Out() << line;
  if (plan.op->op == LoadOp::kReadByKey) {
    ctx.Out() << "  not found    " << tally.misses.load() << "\n";
  }
  ctx.Out() << "  failed       " << tally.failed.load() << "\n";
  if (!tally.broken.empty()) {
    return Broken(ctx, "a client's connection broke", tally.broken);
  }
  return tally.failed.load() == 0 ? kExitOk : kExitNo;
}

const Command kCommands[] = {
    {"bench",
     "[FILE] [--op echo|read|next|block|write|mix] [--clients N] [--seconds S] [--requests N] "
     "[--keys N] [--size BYTES] [--prepare]",
     "load from N clients (default 1) for S seconds (default 10) or N requests: requests per "
     "second and latency percentiles. Records 1 to --keys (default 10000) by key 1 of FILE; "
     "--prepare writes them first; write and mix change FILE",
     Bench},
};

}  // namespace

std::span<const Command> BenchCommands() { return kCommands; }

}  // namespace tmb::cli
