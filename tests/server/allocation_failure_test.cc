// Memory that runs out inside a request: a scripted session that reaches
// every opcode of the command table is served by the real server in this
// process, first counting the allocations that abandon a request when they
// fail (T of them), then once for every N in 1..T with the Nth and all later
// ones failing. Each time the request of the Nth is abandoned: no byte of
// its reply is sent, the server closes the connection, the client slot, the
// environments, files and transaction of the connection are given back, a
// connection beside it is still served, nothing leaks, and a fresh session
// runs the whole script again with the same allocations. A second sweep
// fails the Nth allocation alone, which a fallback may absorb.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "handlers/opcode_table.h"
#include "server/client_slots.h"
#include "server/server.h"
#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"
#include "tests/support/demo_catalog.h"
#include "tests/support/schema.h"
#include "tests/support/scratch_dir.h"
#include "tmbio/tmbio.h"
#include "wire/allocation_failure.h"
#include "wire/compression.h"
#include "wire/frame.h"
#include "wire/opcodes.h"
#include "wire/rle.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TMB_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(TMB_LEAK_CHECK)
#define TMB_LEAK_CHECK 1
#endif
#ifdef TMB_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace tmb {
namespace {

using namespace opcode;
using test::Body;
using test::Bytes;

// The ids the server handed this session, for the requests that name them.
struct Ids {
  int32_t env = 0;
  int32_t file = 0;
  int32_t handle = 0;
  int32_t search = 0;
};

// Replies above it are zlib-coded once zlib is granted.
constexpr int32_t kZlibThreshold = 100;

struct Step {
  std::function<Bytes(const Ids&)> body;
  Codec codec = Codec::kNone;  // how the client codes the request
};

// Bytes that the coding under test shrinks, but not below the size the
// frame codes in a local area: the coded request then needs a block.
Bytes Compressible(Codec codec, size_t size) {
  std::mt19937 random(7);
  Bytes bytes;
  while (bytes.size() < size) {
    if (codec == Codec::kRunLength) {
      for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<uint8_t>(random()));
      bytes.insert(bytes.end(), 20, static_cast<uint8_t>(random()));
    } else {
      bytes.push_back(static_cast<uint8_t>(random() % 16));
    }
  }
  bytes.resize(size);
  return bytes;
}

// An echo whose body comes back from its ninth byte on; large enough that
// receiving it grows the message buffer and coding either way takes blocks.
Step LargeEcho(Codec codec) {
  Bytes body{kEcho};
  const Bytes payload = Compressible(codec, 20000);
  body.insert(body.end(), payload.begin(), payload.end());
  return {[body](const Ids&) { return body; }, codec};
}

// A record of the demo catalog's "people".
std::string Person(int32_t id, const std::string& name) {
  return test::Int32Le(id) + test::Padded(name, 20) + test::Padded("town", 8) + "20240101";
}

Step Of(std::function<Bytes(const Ids&)> body) { return {std::move(body)}; }

// A request of the opcode alone.
Step Just(uint8_t opcode) {
  return Of([opcode](const Ids&) { return Body(opcode).bytes(); });
}

// Every opcode of the table, in an order that gives each one something to
// work on: a file open with reads that take read buffers and large replies,
// a transaction open over writes, a catalog handle, a directory search, a
// client slot, and compression first run-length, then zlib.
std::vector<Step> Script(const std::string& dir) {
  const std::string id2 = test::Int32Le(2);
  const std::string id11 = test::Int32Le(11);
  return {
      LargeEcho(Codec::kRunLength),
      Of([](const Ids&) {
        return Body(kIdentifyClient).I16(1).Text("ada").I16(1).Text("x").I16(0).I16(1)
            .Text("people").I16(1).Text("other").I16(1).Text("client-a").bytes();
      }),
      Just(kAllocEnv),
      Of([](const Ids& i) { return Body(kSetEnvMode).I32(i.env).I32(3).I32(0).bytes(); }),
      Of([](const Ids& i) {
        return Body(kOpenFile).I32(i.env).Text("people").I32(0).I16(0).I32(0).bytes();
      }),
      // Sizes past the handlers' local arrays, here and below: their
      // scratch blocks and the replies' grown buffers count too.
      Of([](const Ids& i) { return Body(kReadRecord).I32(i.file).I16(5000).I16(4).bytes(); }),
      Of([](const Ids& i) { return Body(kGetKey).I32(i.file).I16(4).I16(1).bytes(); }),
      Of([](const Ids& i) { return Body(kGetPosition).I32(i.file).bytes(); }),
      Of([](const Ids& i) { return Body(kSetPosition).I32(i.file).I32(3).bytes(); }),
      Of([=](const Ids& i) { return Body(kSeekKey).I32(i.file).I16(1).I16(4).Block(id2).bytes(); }),
      Of([](const Ids& i) {
        return Body(kKeyAdjust).I32(i.file).I16(3).Block("bob").I16(2).bytes();
      }),
      Of([](const Ids& i) { return Body(kRawReadMode).I32(i.file).U8('T').bytes(); }),
      Of([](const Ids& i) { return Body(kGetFileError).I32(i.file).bytes(); }),
      Of([](const Ids& i) {
        return Body(kPutRestrictInfo).I32(i.file).I32(1).I32(4).I32(3).I32(1).I32(1).I32(0)
            .I32(3).Block("bob").bytes();
      }),
      // A size far past the record: the zero-filled reply grows the buffer.
      Of([](const Ids& i) {
        return Body(kRestrictedRead).I32(i.file).I32(20000).I16(4).I32(0).bytes();
      }),
      Of([](const Ids& i) {
        return Body(kReadFirst).I32(i.file).I32(40).I32(4).I16(2).I16(3)
            .Block(std::string("\x05\x00\x00", 3)).Block(test::Int32Le(1)).bytes();
      }),
      Of([](const Ids& i) {
        return Body(kRestrictedReadBlock).I32(i.file).I32(4).I32(40).U8(0).I16(4).I32(0).bytes();
      }),
      Of([](const Ids& i) {
        return Body(kPutRestrictInfo).I32(i.file).I32(0).I32(0).I32(0).I32(0).I32(0).I32(0)
            .I32(0).bytes();
      }),
      Of([](const Ids& i) { return Body(kReadBlock).I32(i.file).I32(6).bytes(); }),
      Of([](const Ids& i) {
        return Body(kExtReadDirect).I32(i.file).I32(40).I16(1).I32(2).I32(4).bytes();
      }),
      Of([](const Ids& i) { return Body(kUnlockRecord).I32(i.file).I32(-1).bytes(); }),
      Of([](const Ids& i) { return Body(kDescribeFile).I32(i.file).bytes(); }),
      Of([](const Ids& i) {
        return Body(kDescribeIndex).I32(i.file).I32(1).I32(3).I32(4).U8(1).U8(1).bytes();
      }),
      Of([](const Ids& i) { return Body(kReadDictionary).I32(i.file).I16(0).I16(5000).bytes(); }),
      Of([](const Ids& i) { return Body(kBeginTX).I32(i.env).bytes(); }),
      Of([](const Ids& i) {
        return Body(kExtWrite).I32(i.file).I32(5000).Block(Person(10, "zed")).I16(0)
            .I32(0).I32(0).bytes();
      }),
      Of([](const Ids& i) { return Body(kRemoveRecord).I32(i.file).I16(0).bytes(); }),
      Of([](const Ids& i) {
        return Body(kAddDictionary).I32(i.file).I16(3).I16(5000).Block(std::string(5000, 'd'))
            .bytes();
      }),
      // A file of this connection's own, open exclusively until it ends.
      Of([](const Ids& i) {
        return Body(kOpenFile).I32(i.env).Text("notes").I32(0).I16(TMBIO_OPEN_EXCLUSIVE).I32(0)
            .bytes();
      }),
      Of([](const Ids& i) { return Body(kRequestHandle).I32(i.env).bytes(); }),
      Of([](const Ids& i) {
        return Body(kGetTables).I32(i.handle).I32(0).I32(0).I32(1).Text("%").I32(1).bytes();
      }),
      Of([](const Ids& i) { return Body(kFetchTable).I32(i.handle).I32(4).I32(0).bytes(); }),
      Of([](const Ids& i) {
        return Body(kGetColumns).I32(i.handle).I32(0).I32(0).I32(1).Text("people").I32(0)
            .bytes();
      }),
      Of([](const Ids& i) { return Body(kFetchColumn).I32(i.handle).I32(8).bytes(); }),
      Of([](const Ids& i) { return Body(kFreeHandle).I32(i.handle).bytes(); }),
      Of([](const Ids& i) { return Body(kGetEnvMode).I32(i.env).I32(3).bytes(); }),
      Of([](const Ids& i) { return Body(kGetCatalog).I32(i.env).Text("default").bytes(); }),
      Of([](const Ids& i) {
        return Body(kLogon).I32(i.env).I32(1).Text("anna").I32(1).Text("pw").I32(1).Text("ws")
            .I32(0).I32(1).Text("app").bytes();
      }),
      Of([](const Ids& i) {
        return Body(kLogoff).I32(i.env).I32(1).Text("anna").I32(0).I32(0).I32(0).I32(0).bytes();
      }),
      Of([=](const Ids&) { return Body(kFindFirstFile).Text(dir + "/demo/*.tmb").bytes(); }),
      Of([](const Ids& i) { return Body(kFindNextFile).I32(i.search).bytes(); }),
      Of([](const Ids& i) { return Body(kFindClose).I32(i.search).bytes(); }),
      Of([=](const Ids&) { return Body(kStatFile).Text(dir + "/demo").bytes(); }),
      Of([=](const Ids&) {
        return Body(kGetProfileString).Text("main").Text("key").Text("none").I32(64)
            .Text(dir + "/none.ini").bytes();
      }),
      Of([](const Ids&) { return Body(kSetGlobalMode1).I16(0).bytes(); }),
      Of([](const Ids&) { return Body(kSetGlobalMode2).I16(0).bytes(); }),
      Of([](const Ids&) { return Body(kSetGlobalText7).Text("").bytes(); }),
      Of([](const Ids&) { return Body(kSetGlobalText6).Text("").bytes(); }),
      Just(kRefuseRequest),
      Just(kOpenConnection),
      Just(kHello),
      Of([](const Ids&) {
        return Body(kSetCompression).U8(kZlibCapability).I32(0).I32(kZlibThreshold).bytes();
      }),
      LargeEcho(Codec::kZlib),
      Of([](const Ids& i) { return Body(kRollbackTX).I32(i.env).bytes(); }),
      Of([=](const Ids& i) {
        return Body(kRemoveRecord).I32(i.file).I16(4).Block(id11).bytes();
      }),
      Of([](const Ids& i) { return Body(kCommitTX).I32(i.env).bytes(); }),
      Of([](const Ids& i) { return Body(kSetFileCell).I32(i.file).I32(5).bytes(); }),
      Of([](const Ids& i) { return Body(kCloseFile).I32(i.file).bytes(); }),
      Of([](const Ids& i) { return Body(kDeAllocEnv).I32(i.env).bytes(); }),
  };
}

// One client of the script: frames coded and decoded as the server's
// settings for this connection say, which it follows step by step.
class ScriptClient {
 public:
  explicit ScriptClient(uint16_t port) : conn_(port) { mirror_.warmup = 2; }

  bool ok() const { return conn_.ok(); }

  // Sends the step's request; its reply body, or none when the connection
  // ended without one byte of it.
  std::optional<Bytes> Exchange(const Step& step, const Ids& ids) {
    const Bytes body = step.body(ids);
    const auto plain = static_cast<uint32_t>(body.size());
    if (step.codec == Codec::kNone) {
      conn_.SendPlain(body);
    } else {
      EXPECT_EQ(CompressionChoice(mirror_, plain), step.codec) << "opcode " << int{body[0]};
      Bytes coded(body.size() + 64);
      coded[0] = body[0];
      const int32_t n = step.codec == Codec::kRunLength
                            ? RunLengthEncode(body.data() + 1, static_cast<int32_t>(plain - 1),
                                              coded.data() + 1)
                            : CompressBlock(coded.data() + 1, static_cast<int32_t>(plain - 1),
                                            body.data() + 1, static_cast<int32_t>(plain - 1));
      EXPECT_GT(n, 4200) << "the coded request should need a block of its own";
      coded.resize(static_cast<size_t>(std::max(n, 0)) + 1);
      conn_.Send(test::Frame(static_cast<uint32_t>(coded.size()), plain, coded));
    }
    --mirror_.warmup;
    const std::optional<Bytes> frame = ReadFrame();
    if (!frame) return std::nullopt;
    return Decode(*frame, body[0]);
  }

  // Ends the connection and waits until the server has closed its side,
  // by which time everything of the session is given back.
  bool Finish() {
    shutdown(conn_.fd(), SHUT_WR);
    return conn_.PeerClosed();
  }
  // Whether the connection ended without a byte of the last reply.
  bool ClosedSilently() { return stray_ == 0 && conn_.PeerClosed(); }

 private:
  // One whole frame; none when the connection ends first, counting in
  // stray_ the bytes that did come.
  std::optional<Bytes> ReadFrame() {
    Bytes frame(kFrameHeaderSize);
    stray_ = ReadUpTo(frame.data(), kFrameHeaderSize);
    if (stray_ == kFrameHeaderSize) {
      frame.resize(kFrameHeaderSize + LoadBigEndian32(frame.data()));
      stray_ += ReadUpTo(frame.data() + kFrameHeaderSize, frame.size() - kFrameHeaderSize);
      if (stray_ == frame.size()) return frame;
    }
    return std::nullopt;
  }

  size_t ReadUpTo(uint8_t* dest, size_t n) {
    size_t got = 0;
    while (got < n) {
      pollfd p{conn_.fd(), POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      const ssize_t r = recv(conn_.fd(), dest + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    return got;
  }

  Bytes Decode(const Bytes& frame, uint8_t opcode) {
    const uint32_t n = LoadBigEndian32(frame.data());
    const uint32_t u = LoadBigEndian32(frame.data() + 4);
    Bytes body = test::BodyOf(frame);
    if (n < u) {
      body.assign(u, 0);
      body[0] = frame[8];
      const int32_t m = static_cast<int32_t>(n - 1);
      const int32_t room = static_cast<int32_t>(u - 1);
      const int32_t got = CompressionChoice(mirror_, u) == Codec::kZlib
                              ? UncompressBlock(body.data() + 1, room, frame.data() + 9, m)
                              : RunLengthDecode(frame.data() + 9, m, body.data() + 1, room);
      EXPECT_EQ(got, room) << "reply to opcode " << int{opcode};
    }
    --mirror_.warmup;
    if (opcode == kSetCompression && body.size() == 1) {
      mirror_.level = body[0];
      mirror_.zlib_threshold = kZlibThreshold;
    }
    return body;
  }

  test::RawConnection conn_;
  CompressionSettings mirror_;
  size_t stray_ = 0;  // bytes of the last reply read
};

// What the library and the slot table hold, process-wide.
struct Held {
  int slots, environments, files;
  bool operator==(const Held&) const = default;
};
void PrintTo(const Held& h, std::ostream* os) {
  *os << h.slots << " slots, " << h.environments << " environments, " << h.files << " files";
}
Held HeldNow() { return {SlotsInUse(), GetNumConnections(), GetNumOpenFiles()}; }

struct Outcome {
  size_t replies = 0;                   // steps answered
  bool closed_silently = false;         // the next step ended the connection, no byte sent
  std::vector<uint64_t> counted;        // allocations counted after each answered step
  std::set<uint8_t> dispatched;         // opcodes answered
  Held midway{};                        // held once the catalog handle is open
};

class AllocationFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new test::ScratchDir("tmb-alloc");
    catalog_ = new test::DemoCatalog(scratch_->path());
    Settings().port = test::FreePort();
    ASSERT_EQ(StartServer({Dispatch, OpensConnection, [](Session&) { return false; }}), 0);
  }
  static void TearDownTestSuite() {
    StopServer();
    delete catalog_;
    delete scratch_;
  }
  void TearDown() override {
    DisarmAllocationFailure();
    QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL_TEXT6, 0);
    QDSetEnvMode(nullptr, TMBIO_MODE_GLOBAL_TEXT7, 0);
  }

  // Runs the script on a new connection opened with Hello, the seam armed
  // by `arm` once the session is in place.
  Outcome Run(const std::function<void()>& arm) {
    Outcome out;
    ScriptClient client(Settings().port);
    EXPECT_TRUE(client.ok());
    Ids ids;
    if (!client.Exchange(Just(kHello), ids)) {
      ADD_FAILURE() << "Hello unanswered";
      return out;
    }
    arm();
    for (const Step& step : script_) {
      const uint8_t opcode = step.body(ids)[0];
      const std::optional<Bytes> reply = client.Exchange(step, ids);
      if (!reply) {
        DisarmAllocationFailure();
        out.closed_silently = client.ClosedSilently();
        return out;
      }
      out.counted.push_back(AllocationsCounted());
      out.dispatched.insert(opcode);
      ++out.replies;
      NoteIds(opcode, *reply, ids);
      if (opcode == kRequestHandle) out.midway = HeldNow();
    }
    DisarmAllocationFailure();
    EXPECT_TRUE(client.Finish());
    return out;
  }

  static void NoteIds(uint8_t opcode, const Bytes& reply, Ids& ids) {
    if (reply.size() < 4) return;
    const auto id = static_cast<int32_t>(LoadBigEndian32(reply.data()));
    if (opcode == kAllocEnv) ids.env = id;
    if (opcode == kOpenFile && ids.file == 0) ids.file = id;
    if (opcode == kRequestHandle) ids.handle = id;
    if (opcode == kFindFirstFile) ids.search = id;
  }

  // The request of the Nth allocation, the first step whose count reaches
  // n in the whole run, is abandoned: the steps before it are answered, it
  // gets not a byte and the connection ends; the slot, environments and
  // files of the connection are given back and nothing leaks.
  static void ExpectAbandoned(const Outcome& cut, const Outcome& whole, uint64_t n,
                              const Held& idle) {
    size_t expected = 0;
    while (whole.counted[expected] < n) ++expected;
    EXPECT_EQ(cut.replies, expected);
    EXPECT_TRUE(cut.closed_silently);
    EXPECT_EQ(HeldNow(), idle);
#ifdef TMB_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
  }

  static test::ScratchDir* scratch_;
  static test::DemoCatalog* catalog_;
  const std::vector<Step> script_ = Script(scratch_->path());
};

test::ScratchDir* AllocationFailureTest::scratch_ = nullptr;
test::DemoCatalog* AllocationFailureTest::catalog_ = nullptr;

TEST_F(AllocationFailureTest, EveryFailurePointAbandonsItsRequestAndFreesTheConnection) {
  // A connection beside the swept ones, holding an environment of its own.
  ScriptClient bystander(Settings().port);
  Ids bystander_ids;
  ASSERT_TRUE(bystander.Exchange(Just(kHello), bystander_ids));
  ASSERT_TRUE(bystander.Exchange(Just(kAllocEnv), bystander_ids));
  const Held idle = HeldNow();

  const Outcome whole = Run([] { ArmAllocationFailure(0, 0); });
  ASSERT_EQ(whole.replies, script_.size()) << "the script stops short unarmed";
  for (const OpcodeRow& row : OpcodeRows()) {
    EXPECT_TRUE(whole.dispatched.count(row.opcode)) << row.name << " has no step in the script";
  }
  // The checks below see the slot, the environment and both files go.
  EXPECT_EQ(whole.midway, (Held{idle.slots + 1, idle.environments + 1, idle.files + 2}));
  ASSERT_EQ(HeldNow(), idle);
  const uint64_t total = whole.counted.back();
  std::printf("allocation failure points covered: %llu\n",
              static_cast<unsigned long long>(total));
  RecordProperty("failure_points", static_cast<int>(total));
  ASSERT_GT(total, 0u);

  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    const Outcome cut = Run([n] {
      ArmAllocationFailure(n, std::numeric_limits<uint64_t>::max());
    });
    ExpectAbandoned(cut, whole, n, idle);
    // The bystander's environment is still held (above), and it is served.
    EXPECT_TRUE(bystander.Exchange(Just(kEcho), bystander_ids));
    // A fresh session runs the whole script, with the same allocations: the
    // exclusive open and the transaction's records are free again.
    const Outcome again = Run([] { ArmAllocationFailure(0, 0); });
    ASSERT_EQ(again.replies, script_.size());
    EXPECT_EQ(again.midway, whole.midway);
    EXPECT_EQ(again.counted, whole.counted);
  }
}

// Memory that is short only once: a request whose allocation has a smaller
// fallback (a reply grown to the size it needs rather than double) is still
// answered, with one allocation more; any other is abandoned as above.
TEST_F(AllocationFailureTest, ASingleFailureIsAbsorbedOrAbandonsItsRequest) {
  const Held idle = HeldNow();
  const Outcome whole = Run([] { ArmAllocationFailure(0, 0); });
  ASSERT_EQ(whole.replies, script_.size());
  const uint64_t total = whole.counted.back();
  int absorbed = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    const Outcome cut = Run([n] { ArmAllocationFailure(n, 1); });
    if (cut.replies == script_.size()) {
      ++absorbed;
      EXPECT_EQ(cut.counted.back(), total + 1);
      EXPECT_EQ(HeldNow(), idle);
    } else {
      ExpectAbandoned(cut, whole, n, idle);
    }
  }
  std::printf("single failures absorbed by a fallback: %d of %llu\n", absorbed,
              static_cast<unsigned long long>(total));
  RecordProperty("absorbed", absorbed);
}

}  // namespace
}  // namespace tmb
