// End-to-end: the real server binary over loopback.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "wire/compression.h"
#include "wire/primitives.h"
#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()) << server_.Stderr(); }
  // A clean stop, and no sanitizer report from the server of an instrumented
  // build, are part of every test.
  void TearDown() override {
    EXPECT_EQ(server_.StopProblems(), "");
  }

  // A raw connection already opened with Hello.
  std::unique_ptr<RawConnection> Opened() {
    auto c = std::make_unique<RawConnection>(server_.port());
    EXPECT_TRUE(c->ok());
    c->SendPlain({41});
    EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0}));
    return c;
  }

  // Echo request whose reply body is `payload`: opcode, seven filler bytes,
  // then the payload from the ninth byte on.
  static Bytes EchoOf(const Bytes& payload) {
    // Sized once and filled in place: GCC 12 at -O3 misreads the growth of
    // an 8-byte vector as an access out of its bounds.
    Bytes body(8 + payload.size());
    for (uint8_t i = 0; i < 8; ++i) body[i] = i == 0 ? 16 : i;
    std::copy(payload.begin(), payload.end(), body.begin() + 8);
    return body;
  }

  ServerProcess server_;
};

struct Vector {
  const char* name;
  Bytes input;  // the reply body after its first byte
  Bytes coded;  // empty: goes out plain
};

Bytes Repeat(size_t n, uint8_t b) { return Bytes(n, b); }
Bytes Distinct(size_t n) {
  Bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
  return v;
}
Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(ProtocolTest, RunLengthVectorsAppearOnTheWireThroughEcho) {
  const uint8_t b = 0x41;
  Bytes hundred_then_run = Join(Join({100}, Distinct(100)), {178, 0x7F});
  const Vector vectors[] = {
      {"200 zeros", Repeat(200, 0), {240, 89}},
      {"366 zeros", Repeat(366, 0), {240, 255}},
      {"367 zeros", Repeat(367, 0), {240, 255, 129, 0}},
      {"478 zeros", Repeat(478, 0), {240, 255, 240, 1}},
      {"112 copies", Repeat(112, b), {239, b, 129, b}},
      {"222 copies", Repeat(222, b), {239, b, 239, b}},
      {"223 copies", Repeat(223, b), {239, b, 239, b, 129, b}},
      {"x then three a", {9, b, b, b, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 9, 131, b, 136, 0}},
      {"a a b", {b, b, 7}, {}},
      {"200 distinct", Distinct(200), {}},
      {"100 distinct then 50 copies", Join(Distinct(100), Repeat(50, 0x7F)), hundred_then_run},
  };
  auto c = Opened();
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.name);
    const Bytes payload = Join({0x2A}, v.input);
    c->SendPlain(EchoOf(payload));
    const Bytes frame = c->ReadFrame();
    const uint32_t u = static_cast<uint32_t>(payload.size());
    if (v.coded.empty()) {
      EXPECT_EQ(frame, Frame(u, u, payload));
    } else {
      EXPECT_EQ(frame, Frame(static_cast<uint32_t>(v.coded.size() + 1), u, Join({0x2A}, v.coded)));
    }
  }
}

TEST_F(ProtocolTest, RunLengthCodedRequestIsDecodedBeforeDispatch) {
  auto c = Opened();
  // Echo request whose body past the filler is 300 zero bytes, sent coded.
  Bytes coded = {16, 7, 1, 2, 3, 4, 5, 6, 7, 240, 189};
  c->Send(Frame(static_cast<uint32_t>(coded.size()), 8 + 300, coded));
  Bytes payload(300, 0);
  const Bytes frame = c->ReadFrame();
  EXPECT_EQ(frame, Frame(3, 300, {0, 240, 188}));
}

TEST_F(ProtocolTest, AcceptanceRuleOpensOnlyWithOpeningOpcodes) {
  RawConnection c(server_.port());
  c.SendPlain({2, 0, 0, 0, 1});
  EXPECT_EQ(BodyOf(c.ReadFrame()), (Bytes{0, 0}));
  c.SendPlain({16, 1, 2, 3, 4, 5, 6, 7, 9, 9});  // not an opener: refused too
  EXPECT_EQ(BodyOf(c.ReadFrame()), (Bytes{0, 0}));
  c.SendPlain({11});  // opens, but has no handler
  EXPECT_EQ(BodyOf(c.ReadFrame()), (Bytes{0, 0}));
  c.SendPlain({16, 1, 2, 3, 4, 5, 6, 7, 9, 9});
  EXPECT_EQ(BodyOf(c.ReadFrame()), (Bytes{9, 9}));

  const std::string err = server_.Stderr();
  EXPECT_NE(err.find("Unknown TMBIO Opcode - 99\n"), std::string::npos) << err;
  EXPECT_NE(err.find("Unknown TMBIO Opcode - 11\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Unknown TMBIO Opcode - 2\n"), std::string::npos) << err;
}

TEST_F(ProtocolTest, UnknownOpcodesAndFixedRepliesAfterOpening) {
  auto c = Opened();
  for (uint8_t op : {0, 1, 6, 71, 99, 255}) {
    c->SendPlain({op});
    EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0})) << int(op);
  }
  c->SendPlain({23});
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0xFF, 0xFE}));
  const std::string err = server_.Stderr();
  for (const char* line : {"- 0\n", "- 1\n", "- 6\n", "- 71\n", "- 99\n", "- 255\n"}) {
    EXPECT_NE(err.find(std::string("Unknown TMBIO Opcode ") + line), std::string::npos) << line;
  }
}

TEST_F(ProtocolTest, EchoRepliesWithTheRequestFromItsNinthByte) {
  auto c = Opened();
  Bytes body = {16};
  for (uint8_t i = 2; i <= 20; ++i) body.push_back(i);
  c->SendPlain(body);
  EXPECT_EQ(BodyOf(c->ReadFrame()), Bytes(body.begin() + 8, body.end()));
  c->SendPlain({16, 1, 2});  // shorter than the header it would echo past
  EXPECT_EQ(c->ReadFrame(), Frame(0, 0, {}));
  c->SendPlain({41});
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0}));
}

TEST_F(ProtocolTest, ZlibNegotiatedWithRealLibraryOnBothEnds) {
  ASSERT_TRUE(LoadCompressionLibrary());
  auto c = std::make_unique<RawConnection>(server_.port());
  // Negotiation as the first request: its reply is a single plain byte.
  Bytes negotiate = {69, 100, 0, 0, 0, 50, 0, 0, 1, 0};
  c->SendPlain(negotiate);
  EXPECT_EQ(c->ReadFrame(), Frame(1, 1, {100}));

  Bytes payload(5000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>("tamblo"[i % 6]);
  c->SendPlain(EchoOf(payload));
  const Bytes frame = c->ReadFrame();
  const uint32_t n = LoadBigEndian32(frame.data());
  ASSERT_EQ(LoadBigEndian32(frame.data() + 4), payload.size());
  ASSERT_LT(n, 200u);
  Bytes inflated(payload.size() - 1);
  ASSERT_EQ(UncompressBlock(inflated.data(), static_cast<int32_t>(inflated.size()), frame.data() + 9,
                            static_cast<int32_t>(n - 1)),
            static_cast<int32_t>(inflated.size()));
  EXPECT_EQ(inflated, Bytes(payload.begin() + 1, payload.end()));

  // Between the thresholds the run-length codec still serves.
  Bytes mid = Join({5}, Repeat(150, 0));
  c->SendPlain(EchoOf(mid));
  EXPECT_EQ(c->ReadFrame(), Frame(3, 151, {5, 240, 39}));
  // At or below the run-length threshold nothing is coded.
  Bytes small = Join({5}, Repeat(40, 0));
  c->SendPlain(EchoOf(small));
  EXPECT_EQ(c->ReadFrame(), Frame(41, 41, small));
}

TEST(NoZlibTest, NegotiationAnswersZeroAndThresholdsStillApply) {
  ServerProcess server;
  server.env = {"TMB_COMPRESSION_LIB=/nonexistent/libz.so.1"};
  ASSERT_TRUE(server.Start()) << server.Stderr();
  RawConnection c(server.port());
  c.SendPlain({69, 100, 0, 0, 0, 100, 0, 0, 0, 10});
  EXPECT_EQ(c.ReadFrame(), Frame(1, 1, {0}));
  Bytes zeros(101, 0);  // at the run-length threshold: plain
  Bytes echo = {16, 0, 0, 0, 0, 0, 0, 0};
  echo.insert(echo.end(), zeros.begin(), zeros.end() - 1);
  c.SendPlain(echo);
  EXPECT_EQ(c.ReadFrame(), Frame(100, 100, Bytes(100, 0)));
  echo.push_back(0);  // one above: run-length, never zlib
  c.SendPlain(echo);
  EXPECT_EQ(c.ReadFrame(), Frame(3, 101, {0, 228, 0}));
  EXPECT_EQ(server.StopProblems(), "");
}

TEST_F(ProtocolTest, ClientLibraryRoundTripsLargeBodiesInEveryCodec) {
  std::string error;
  Client client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server_.port(), &error)) << error;
  ASSERT_EQ(client.NegotiateCompression(100, 16, 4096, &error), 100) << error;
  for (size_t size : {10, 1000, 4095, 4096, 70000, 300000}) {
    Bytes payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i % 7 == 0 ? i : 0);
    client.BeginRequest(16);
    for (int i = 0; i < 7; ++i) PutByte(client.request(), 0);
    for (uint8_t byte : payload) PutByte(client.request(), byte);
    ASSERT_TRUE(client.Call(&error)) << error;
    EXPECT_EQ(Bytes(client.reply().data(), client.reply().data() + client.reply().length()), payload)
        << size;
  }
}

TEST_F(ProtocolTest, MalformedFramesEndOnlyTheirOwnConnection) {
  auto healthy = Opened();
  const Bytes cases[] = {
      Frame(5000, 10, Bytes(16, 0)),              // wire length beyond its buffer
      Frame(5, 100, {16, 239, 0, 239, 0}),        // run-length overflow
      Frame(3, 100, {16, 241, 0}),                // invalid code byte
      Frame(0, 10, {}),                           // no body to decode
      Frame(10, 0x7FFFFFFF, Bytes(10, 0)),        // plain length above the limit
      Frame(0, 0, {}),                            // no opcode at all
      Frame(3, 3, {69, 100, 0}),                  // request ends inside its fields
  };
  for (const Bytes& frame : cases) {
    SCOPED_TRACE(::testing::PrintToString(frame));
    RawConnection bad(server_.port());
    bad.SendPlain({41});
    ASSERT_EQ(BodyOf(bad.ReadFrame()), (Bytes{0, 0}));
    bad.Send(frame);
    EXPECT_TRUE(bad.PeerClosed());
  }
  // A zlib body that does not inflate, after zlib was granted.
  RawConnection bad(server_.port());
  bad.SendPlain({69, 100, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(BodyOf(bad.ReadFrame()), (Bytes{100}));
  bad.Send(Frame(5, 100, {16, 1, 2, 3, 4}));
  EXPECT_TRUE(bad.PeerClosed());

  healthy->SendPlain({16, 0, 0, 0, 0, 0, 0, 0, 1, 2});
  EXPECT_EQ(BodyOf(healthy->ReadFrame()), (Bytes{1, 2}));
  RawConnection fresh(server_.port());
  fresh.SendPlain({41});
  EXPECT_EQ(BodyOf(fresh.ReadFrame()), (Bytes{0, 0}));
}

TEST_F(ProtocolTest, FiftyConcurrentClients) {
  constexpr int kClients = 50;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      std::string error;
      Client client;
      if (!client.Connect("127.0.0.1", server_.port(), &error)) {
        ++failures;
        return;
      }
      client.BeginRequest(41);
      if (!client.Call(&error) || GetInt16(client.reply()) != 0) ++failures;
      for (int i = 0; i < 40; ++i) {
        client.BeginRequest(16);
        for (int k = 0; k < 7; ++k) PutByte(client.request(), 0);
        const int size = 1 + (t * 131 + i * 977) % 9000;
        for (int k = 0; k < size; ++k) PutByte(client.request(), static_cast<uint8_t>((k + t) / 3));
        if (!client.Call(&error) || client.reply().length() != static_cast<uint64_t>(size)) {
          ++failures;
          return;
        }
        for (int k = 0; k < size; ++k) {
          if (client.reply().data()[k] != static_cast<uint8_t>((k + t) / 3)) {
            ++failures;
            return;
          }
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

class StatusPageTest : public ProtocolTest {};

TEST_F(StatusPageTest, BrowserGetsPageWithExactContentLength) {
  RawConnection browser(server_.port());
  browser.Send(Bytes{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '0', '\r', '\n',
                     '\r', '\n'});
  const Bytes all = browser.ReadAll();
  const std::string page(all.begin(), all.end());
  ASSERT_EQ(page.rfind("HTTP/1.1 200 OK\nDate: ", 0), 0u) << page;
  const size_t body_at = page.find("<html>");
  ASSERT_NE(body_at, std::string::npos);
  const size_t length_at = page.find("Content-Length: ");
  ASSERT_NE(length_at, std::string::npos);
  EXPECT_EQ(std::stoul(page.substr(length_at + 16)), page.size() - body_at);
  EXPECT_NE(page.find("\nContent-Type : text/html\nConnection: Closed\n\n<html>"), std::string::npos);
  EXPECT_NE(page.find("Hello from: Tamblo\xAE SQL Server </h1>"), std::string::npos);
  EXPECT_NE(page.find("Number of user slots in use : 0<br>Number of connections : 0"
                      "<br>Number of files opened: 0</p></body></html>"),
            std::string::npos);
}

TEST_F(StatusPageTest, CheckedBeforeEveryRequestAndOnlyForExactPrefix) {
  auto c = Opened();
  c->Send({'G', 'E', 'T', ' '});
  const Bytes page = c->ReadAll();
  EXPECT_EQ(std::string(page.begin(), page.begin() + 15), "HTTP/1.1 200 OK");

  // "get " is taken as a frame header, whose length is far beyond the limit.
  RawConnection lower(server_.port());
  lower.Send({'g', 'e', 't', ' ', 'x', 'x', 'x', 'x'});
  EXPECT_TRUE(lower.PeerClosed());
}

TEST(ServerStartTest, MissingCatalogKeyRefusesToStart) {
  ServerProcess server;
  server.machine_hive = MachineHive("", false);
  EXPECT_FALSE(server.Start());
  EXPECT_EQ(server.exit_code(), 255);
  const std::string err = server.Stderr();
  EXPECT_NE(err.find("Tamblo SQL Server Error: Tamblo SQL Server Error: Unable to find a valid catalog"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Tamblo SQL Server Error: Unable to start Tamblo SQL Server"), std::string::npos);
}

TEST(ServerStartTest, PortInUseIsReportedAndSignalStopsCleanly) {
  ServerProcess first;
  ASSERT_TRUE(first.Start());
  ServerProcess second;
  second.args = {"-p:" + std::to_string(first.port())};
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(second.exit_code(), 255);
  const std::string expected =
      "Unable to open socket " + std::to_string(first.port()) + ". Another process may be using it.";
  EXPECT_NE(second.Stderr().find(expected), std::string::npos) << second.Stderr();

  // The harness itself: a server on its default port, found taken by the
  // time it binds, moves to another port; its readiness probe does not take
  // the first server for its own.
  ServerProcess third;
  third.set_port(first.port());
  third.args = {"-P:" + std::to_string(first.port())};
  ASSERT_TRUE(third.Start()) << third.Stderr();
  EXPECT_NE(third.port(), first.port());
  EXPECT_EQ(third.StopProblems(), "");
  EXPECT_EQ(first.StopProblems(), "");
}

TEST(ServerStartTest, RegistryPortAndMessageSizeLimit) {
  ServerProcess server;
  const uint16_t port = FreePort();
  server.set_port(port);
  server.args = {"-PORT:0"};  // a zero port option falls through to the registry
  server.machine_hive = MachineHive("\"Port\"=\"" + std::to_string(port) +
                                    "\"\r\n\"MaxMessageSize\"=dword:00002000\r\n");
  ASSERT_TRUE(server.Start()) << server.Stderr();
  RawConnection c(port);
  c.SendPlain({41});
  ASSERT_EQ(BodyOf(c.ReadFrame()), (Bytes{0, 0}));
  Bytes echo(8000, 3);
  echo[0] = 16;
  c.SendPlain(echo);
  const Bytes reply = c.ReadFrame();
  ASSERT_GE(reply.size(), 8u);
  EXPECT_EQ(LoadBigEndian32(reply.data() + 4), echo.size() - 8);
  c.Send(Frame(3, 8193, {16, 131, 0}));  // one byte above the limit
  EXPECT_TRUE(c.PeerClosed());
  EXPECT_EQ(server.StopProblems(), "");
}

}  // namespace
}  // namespace tmb::test
