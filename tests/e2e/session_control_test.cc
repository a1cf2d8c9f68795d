// End-to-end: identifying clients with their slots and access rights,
// environments and their settings, logon and transactions, through the real
// binary and the real data library.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

constexpr int16_t kNoFreeSlot = -2;
constexpr int16_t kNoEntry = -3;

struct Identity {
  std::string id1, id2, unused, resource1, resource2, client;
};

Body IdentifyBody(const Identity& who) {
  Body b(66);
  for (const std::string* t : {&who.id1, &who.id2, &who.unused, &who.resource1, &who.resource2,
                               &who.client}) {
    if (t->empty()) {
      b.I16(0);
    } else {
      b.I16(1).Text(*t);
    }
  }
  return b;
}

int16_t Identify(RawConnection& c, const Identity& who) {
  Reply r = Exchange(c, IdentifyBody(who));
  const int16_t code = r.I16();
  EXPECT_TRUE(r.AtEnd());
  return code;
}

int16_t IdentifyAs(RawConnection& c, const std::string& client) {
  return Identify(c, Identity{"", "", "", "", "", client});
}

class SessionControlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(DataDir().c_str(), 0755), 0); }
  void TearDown() override {
    EXPECT_EQ(server_.StopProblems(), "");
  }

  std::string DataDir() const { return server_.dir() + "/data"; }

  // Starts the server with these settings-key lines, Security entries (no
  // Security key when `security` is empty) and catalogs besides Demo.
  void Start(const std::string& settings = "", const std::string& security = "",
             const std::string& more_catalogs = "") {
    std::vector<std::pair<std::string, std::string>> sections = {
        {"", settings},
        {"Catalogs", TextValue("Demo", "*[" + DataDir() + "][][]") + more_catalogs}};
    if (!security.empty()) sections.push_back({"Security", security});
    server_.machine_hive = LocalMachineHive(sections);
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
  }

  std::unique_ptr<RawConnection> Opened() {
    auto c = OpenedPlain(server_.port());
    EXPECT_TRUE(c);
    return c;
  }

  static int32_t AllocEnv(RawConnection& c) { return Exchange(c, Body(38)).I32(); }
  static int32_t GetEnvMode(RawConnection& c, int32_t env, int32_t mode) {
    return Exchange(c, Body(65).I32(env).I32(mode)).I32();
  }
  static int32_t SetEnvMode(RawConnection& c, int32_t env, int32_t mode, int32_t value) {
    return Exchange(c, Body(37).I32(env).I32(mode).I32(value)).I32();
  }
  static int32_t SetEnvText(RawConnection& c, int32_t env, int32_t mode, const std::string& text) {
    return Exchange(c, Body(37).I32(env).I32(mode).Text(text)).I32();
  }
  static int32_t Status(RawConnection& c, uint8_t opcode, int32_t env) {
    return Exchange(c, Body(opcode).I32(env)).I32();
  }

  template <typename Done>
  void WaitFor(Done done) {
    ASSERT_TRUE(WaitForCounts(server_.port(), done));
  }

  ServerProcess server_;
};

TEST_F(SessionControlTest, RefusedConnectionReleasesNothingAndKnownNameIsAdmitted) {
  Start("\"ClientSlots\"=dword:00000001\r\n");
  auto a = Opened();
  ASSERT_NE(AllocEnv(*a), 0);  // each close is seen as its environment going
  EXPECT_EQ(IdentifyAs(*a, "alpha"), kNoEntry);
  auto b = Opened();
  ASSERT_NE(AllocEnv(*b), 0);
  EXPECT_EQ(BodyOf((b->SendPlain(IdentifyBody({"", "", "", "", "", "beta"})), b->ReadFrame())),
            (Bytes{0xFF, 0xFE}));
  auto c = Opened();
  EXPECT_EQ(IdentifyAs(*c, "alpha"), kNoEntry);  // a second connection of a known name
  EXPECT_EQ(ReadCounts(server_.port()).slots, 1);

  b.reset();
  a.reset();
  WaitFor([](ServerCounts n) { return n.connections == 0; });
  EXPECT_EQ(ReadCounts(server_.port()).slots, 1);  // c still holds alpha
  auto d = Opened();
  EXPECT_EQ(IdentifyAs(*d, "gamma"), kNoFreeSlot);

  c.reset();
  WaitFor([](ServerCounts n) { return n.slots == 0; });
  EXPECT_EQ(IdentifyAs(*d, "gamma"), kNoEntry);
}

TEST_F(SessionControlTest, IdentifyingAgainHoldsOneSlotAndANewNameGivesTheOldBack) {
  Start("\"ClientSlots\"=dword:00000001\r\n");
  auto a = Opened();
  ASSERT_NE(AllocEnv(*a), 0);
  EXPECT_EQ(IdentifyAs(*a, "alpha"), kNoEntry);
  EXPECT_EQ(IdentifyAs(*a, "alpha"), kNoEntry);
  EXPECT_EQ(IdentifyAs(*a, "beta"), kNoEntry);  // alpha given back, beta taken
  EXPECT_EQ(ReadCounts(server_.port()).slots, 1);
  auto b = Opened();
  EXPECT_EQ(IdentifyAs(*b, "alpha"), kNoFreeSlot);
  a.reset();
  WaitFor([](ServerCounts n) { return n.connections == 0 && n.slots == 0; });
  EXPECT_EQ(IdentifyAs(*b, "alpha"), kNoEntry);
}

TEST_F(SessionControlTest, EmptyNameTakesNoSlotAndTheStatusPageEndStillReleases) {
  Start("\"ClientSlots\"=dword:00000001\r\n");
  auto a = Opened();
  EXPECT_EQ(IdentifyAs(*a, ""), kNoEntry);
  EXPECT_EQ(ReadCounts(server_.port()).slots, 0);
  auto b = Opened();
  EXPECT_EQ(IdentifyAs(*b, "beta"), kNoEntry);
  b->Send({'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'});
  EXPECT_FALSE(b->ReadAll().empty());
  WaitFor([](ServerCounts n) { return n.slots == 0; });
  auto c = Opened();
  EXPECT_EQ(IdentifyAs(*c, "gamma"), kNoEntry);
}

TEST_F(SessionControlTest, EachAccessResultAndRegistryChangesWithoutRestart) {
  Start("", TextValue("*/*", "[A][RW][*][*]") + TextValue("alice/*", "[A][R][SALES;STOCK][]") +
                TextValue("alice/pc1", "[D][RW][*][*]") + TextValue("bob/*", "[A][rw][;SALES][STOCK]") +
                TextValue("carl/*", "[A][R][*][*]") + TextValue("dora/*", "no brackets") +
                TextValue("emil/*", "[A][RWX][*][*]") + TextValue("fay/*", "") +
                TextValue("gus/*", "[A][R][" + std::string(128, 'x') + "][*]"));
  auto c = Opened();
  struct Case {
    Identity who;
    int16_t code;
  };
  const Case cases[] = {
      {{"alice", "pc2", "", "STOCK", "", "c"}, 0x001},
      {{"alice", "pc2", "", "stock", "", "c"}, 0},    // names are case-sensitive
      {{"alice", "pc1", "", "STOCK", "X", "c"}, 0},   // the exact pair denies; */* unused
      {{"bob", "x", "", "SALES", "STOCK", "c"}, 0x303},
      {{"bob", "x", "", "", "STOCK", "c"}, 0x300},
      {{"carl", "x", "", "A", "B", "c"}, 0x101},
      {{"zed", "x", "", "A", "B", "c"}, 0x303},       // */*
      {{"", "", "ignored", "A", "", "c"}, 0x003},     // no names: */*
      {{"dora", "", "", "A", "B", "c"}, 0},           // no "["
      {{"emil", "", "", "A", "B", "c"}, 0},           // MODE of 3: breaks the form
      {{"fay", "", "", "A", "B", "c"}, 0},            // empty entry
      {{"gus", "", "", "A", "B", "c"}, 0},            // list of 128: breaks the form
  };
  for (const Case& k : cases) {
    EXPECT_EQ(Identify(*c, k.who), k.code) << k.who.id1 << "/" << k.who.id2 << " " << k.who.resource1;
  }
  c->SendPlain(IdentifyBody({"bob", "x", "", "SALES", "STOCK", "c"}));
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0x03, 0x03}));

  // The registry is read at every check.
  std::ofstream(server_.dir() + "/machine.reg", std::ios::trunc)
      << LocalMachineHive({{"Catalogs", TextValue("Demo", "*[" + DataDir() + "][][]")},
                           {"Security", TextValue("x/y", "[A][R][*][*]")}});
  EXPECT_EQ(Identify(*c, {"zed", "x", "", "A", "B", "c"}), kNoEntry);
  EXPECT_EQ(Identify(*c, {"x", "y", "", "A", "B", "c"}), 0x101);
  std::ofstream(server_.dir() + "/machine.reg", std::ios::trunc)
      << LocalMachineHive({{"Catalogs", TextValue("Demo", "*[" + DataDir() + "][][]")}});
  c->SendPlain(IdentifyBody({"x", "y", "", "A", "B", "c"}));
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0xFF, 0xFD}));
}

TEST_F(SessionControlTest, FieldsLongerThanTheirBuffersCloseTheConnection) {
  Start();
  auto healthy = Opened();
  const int32_t env = AllocEnv(*healthy);
  auto identify_with = [](int field, const std::string& bytes) {
    Body b(66);
    for (int i = 0; i < 6; ++i) {
      if (i == field) {
        b.I16(1).Block(bytes);
      } else {
        b.I16(0);
      }
    }
    return b;
  };
  auto logon_with = [](int32_t e, int field, const std::string& bytes) {
    Body b(67);
    b.I32(e);
    for (int i = 0; i < 5; ++i) {
      if (i == field) {
        b.I32(1).Block(bytes);
      } else {
        b.I32(0);
      }
    }
    return b;
  };
  const std::string nul(1, '\0');
  struct Case {
    const char* what;
    Bytes request;
    bool closes;
  };
  // Each case runs on a connection of its own. The environment fields carry
  // the healthy connection's id: a request is refused while its fields are
  // read, before any environment is looked up.
  const Case cases[] = {
      {"identity 1 of 65 bytes", identify_with(0, std::string(65, 'a')), true},
      {"identity 1 of 64 bytes, no terminator", identify_with(0, std::string(64, 'a')), false},
      {"identity 2 of 128 bytes, no terminator", identify_with(1, std::string(128, 'a')), true},
      {"identity 2 of 127 bytes and terminator", identify_with(1, std::string(127, 'a') + nul), false},
      {"client name of 129 bytes", identify_with(5, std::string(128, 'a') + nul), true},
      {"catalog name of 257 bytes", Body(70).I32(env).Block(std::string(256, 'a') + nul), true},
      {"catalog name of 256 bytes, no terminator", Body(70).I32(env).Block(std::string(256, 'a')), true},
      {"catalog name of 255 bytes and terminator", Body(70).I32(env).Block(std::string(255, 'a') + nul), false},
      {"setting text of 1025 bytes", Body(37).I32(env).I32(8).Block(std::string(1025, 'a')), true},
      {"global text of 1024 bytes, no terminator", Body(32).Block(std::string(1024, 'a')), true},
      {"logon language of 17 bytes", logon_with(env, 3, std::string(16, 'a') + nul), true},
      {"logon language of 16 bytes, no terminator", logon_with(env, 3, std::string(16, 'a')), true},
      {"logon user of 65 bytes", logon_with(env, 0, std::string(64, 'a') + nul), true},
      {"logon user of 64 bytes, no terminator", logon_with(env, 0, std::string(64, 'a')), false},
      {"negative block length", Body(70).I32(env).I32(-1), true},
      {"request ends inside a field", Body(65).I32(env), true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    auto c = Opened();
    c->SendPlain(k.request);
    if (k.closes) {
      EXPECT_TRUE(c->PeerClosed());
    } else {
      EXPECT_FALSE(BodyOf(c->ReadFrame()).empty());
    }
  }
  EXPECT_EQ(GetEnvMode(*healthy, env, 10), 8100000);
}

TEST_F(SessionControlTest, EnvironmentModesRefusedReadAsNumbersOrTexts) {
  Start();
  auto c = Opened();
  const int32_t env = AllocEnv(*c);
  ASSERT_NE(env, 0);
  for (int32_t mode : {-7, -1, 6, 7, 8, 9, 12, 16, 17, 18, 19, 25}) {
    EXPECT_EQ(GetEnvMode(*c, env, mode), -1) << mode;
  }
  EXPECT_EQ(GetEnvMode(*c, env, 10), 8100000);

  SetEnvMode(*c, env, 3, 1234);
  EXPECT_EQ(GetEnvMode(*c, env, 3), 1234);
  // Mode 9 takes a number: the value is four bytes, and the next request
  // starts right after them.
  c->SendPlain(Body(37).I32(env).I32(9).I32(1));
  EXPECT_EQ(BodyOf(c->ReadFrame()).size(), 4u);
  EXPECT_EQ(GetEnvMode(*c, env, 9), -1);
  // Mode 21 takes a text (a catalog name) but reads back as a number.
  EXPECT_EQ(SetEnvText(*c, env, 21, "demo"), -1);  // none selected before
  EXPECT_EQ(GetEnvMode(*c, env, 21), 0);
  EXPECT_EQ(SetEnvText(*c, env, 21, "DEMO"), 0);
  Exchange(*c, Body(37).I32(env).I32(8).Text(DataDir()));
  EXPECT_EQ(GetEnvMode(*c, env, 4), 0);

  // The library answers a text mode with the previous text's address; the
  // reply is 0 whether there was one or not, so no address ever leaves.
  for (int32_t mode : {6, 7, 8, 12, 16, 17, 18, 19, 25}) {
    EXPECT_EQ(SetEnvText(*c, env, mode, "first"), 0) << mode;
    EXPECT_EQ(SetEnvText(*c, env, mode, "second"), 0) << mode;
  }
}

TEST_F(SessionControlTest, AnotherConnectionsEnvironmentIsOutOfReach) {
  Start();
  auto a = Opened();
  const int32_t env = AllocEnv(*a);
  SetEnvMode(*a, env, 3, 777);
  auto b = Opened();
  EXPECT_EQ(GetEnvMode(*b, env, 10), -3);
  EXPECT_EQ(SetEnvMode(*b, env, 3, 5), -3);
  EXPECT_LT(Status(*b, 48, env), 0);  // BeginTX
  EXPECT_EQ(Status(*b, 39, env), 0);  // DeAllocEnv answers 0 and does nothing
  b->SendPlain(Body(70).I32(env).Text("default"));
  EXPECT_EQ(Reply(BodyOf(b->ReadFrame())).I32(), 0);
  EXPECT_EQ(GetEnvMode(*a, env, 3), 777);
  EXPECT_EQ(Status(*a, 48, env), 0);
  EXPECT_EQ(GetEnvMode(*a, env, 4), 1);
}

TEST_F(SessionControlTest, GlobalSettingsAnswerTheirPreviousValues) {
  Start();
  auto c = Opened();
  EXPECT_EQ(Exchange(*c, Body(18).I16(7)).I32(), 50);  // lock wait default
  EXPECT_EQ(Exchange(*c, Body(18).I16(9)).I32(), 7);
  EXPECT_EQ(Exchange(*c, Body(18).I16(50)).I32(), 9);
  EXPECT_EQ(Exchange(*c, Body(17).I16(0)).I32(), 0);  // trace level stays off

  c->SendPlain(Body(32).Text("/first"));
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0, 0, 0}));  // no text before
  Reply r = Exchange(*c, Body(32).Text("/second"));
  EXPECT_EQ(r.I32(), 0);
  EXPECT_EQ(r.Text(), "/first");
  EXPECT_TRUE(r.AtEnd());
  c->SendPlain(Body(31).Text("app one"));
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0, 0, 0}));
  r = Exchange(*c, Body(31).Text("app two"));
  EXPECT_EQ(r.I32(), 0);
  EXPECT_EQ(r.Text(), "app one");
}

TEST_F(SessionControlTest, ProcessWideLockWaitIsCappedByTheRegistry) {
  Start();
  auto c = Opened();
  // Tenths of a second; by default at most 30 seconds.
  EXPECT_EQ(Exchange(*c, Body(18).I16(32767)).I32(), 50);
  EXPECT_EQ(Exchange(*c, Body(18).I16(300)).I32(), 300);  // what the first one set
  EXPECT_EQ(Exchange(*c, Body(18).I16(301)).I32(), 300);
  EXPECT_EQ(Exchange(*c, Body(18).I16(-1)).I32(), -3);    // the library's refusal
  EXPECT_EQ(Exchange(*c, Body(18).I16(0)).I32(), 300);

  // Read at every request: a lower cap counts at once, in milliseconds.
  auto hive = [&](const std::string& settings) {
    std::ofstream(server_.dir() + "/machine.reg", std::ios::trunc)
        << LocalMachineHive({{"", settings}, {"Catalogs", TextValue("Demo", "*[" + DataDir() + "][][]")}});
  };
  hive("\"MaxLockWait\"=dword:000007d0\r\n");  // 2000 ms
  EXPECT_EQ(Exchange(*c, Body(18).I16(100)).I32(), 0);
  EXPECT_EQ(Exchange(*c, Body(18).I16(19)).I32(), 20);
  hive("\"MaxLockWait\"=\"150\"\r\n");  // whole tenths only: 1
  EXPECT_EQ(Exchange(*c, Body(18).I16(5)).I32(), 19);
  EXPECT_EQ(Exchange(*c, Body(18).I16(0)).I32(), 1);
  hive("\"MaxLockWait\"=dword:ffffffff\r\n");  // above the library's ten minutes
  EXPECT_EQ(Exchange(*c, Body(18).I16(32767)).I32(), 0);
  EXPECT_EQ(Exchange(*c, Body(18).I16(0)).I32(), 6000);
}

TEST_F(SessionControlTest, TraceLinesShowClientTextsEscaped) {
  Start();
  auto c = Opened();
  // The application name starts every trace line: a line feed in it must not
  // start a line of its own.
  const std::string name = "app\ntmbio: forged\x01\r\x7f";
  c->SendPlain(Body(31).Text(name));
  EXPECT_EQ(BodyOf(c->ReadFrame()), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(Exchange(*c, Body(17).I16(1)).I32(), 0);
  ASSERT_NE(AllocEnv(*c), 0);
  EXPECT_EQ(Exchange(*c, Body(17).I16(0)).I32(), 1);
  Reply previous = Exchange(*c, Body(31).Text("plain"));
  EXPECT_EQ(previous.I32(), 0);
  EXPECT_EQ(previous.Text(), "app\\ntmbio: forged\\x01\\x0d\\x7f");

  const std::string err = server_.Stderr();
  EXPECT_NE(err.find("\ntmbio app\\ntmbio: forged\\x01\\x0d\\x7f: QDK_AllocEnv() = "),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("\ntmbio: forged"), std::string::npos) << err;
  EXPECT_EQ(err.find('\x01'), std::string::npos);
}

TEST_F(SessionControlTest, TransactionStatesAndDeallocation) {
  Start();
  auto c = Opened();
  const int32_t env = AllocEnv(*c);
  EXPECT_EQ(Status(*c, 48, env), 0);
  EXPECT_EQ(Status(*c, 48, env), -12);  // already in one
  EXPECT_EQ(GetEnvMode(*c, env, 4), 1);
  EXPECT_EQ(Status(*c, 49, env), 0);
  EXPECT_EQ(Status(*c, 49, env), -12);
  EXPECT_EQ(Status(*c, 50, env), -12);
  EXPECT_EQ(Status(*c, 48, env), 0);
  EXPECT_EQ(Status(*c, 50, env), 0);
  EXPECT_EQ(GetEnvMode(*c, env, 4), 0);
  EXPECT_EQ(ReadCounts(server_.port()).connections, 1);
  EXPECT_EQ(Status(*c, 39, env), 0);
  EXPECT_EQ(ReadCounts(server_.port()).connections, 0);
  EXPECT_EQ(GetEnvMode(*c, env, 10), -3);  // gone
}

// Each environment costs the server hundreds of kilobytes, so one connection
// holds a limited number; what it frees, by DeAllocEnv or by leaving, no
// longer counts.
TEST_F(SessionControlTest, EnvironmentsPerConnectionAreCappedAndFreedOnesDoNotCount) {
  Start("\"EnvironmentsPerConnection\"=dword:00000003\r\n");
  auto c = Opened();
  std::vector<int32_t> envs;
  for (int i = 0; i < 3; ++i) {
    envs.push_back(AllocEnv(*c));
    EXPECT_GT(envs.back(), 0);
  }
  EXPECT_EQ(AllocEnv(*c), 0);
  EXPECT_EQ(AllocEnv(*c), 0);
  EXPECT_EQ(ReadCounts(server_.port()).connections, 3);  // refusals hold nothing

  // The cap is per connection.
  auto other = Opened();
  const int32_t others = AllocEnv(*other);
  EXPECT_GT(others, 0);

  // Freeing one gives room for exactly one more; another connection's id
  // frees nothing of this one's and gives it no room.
  EXPECT_EQ(Status(*c, 39, others), 0);
  EXPECT_EQ(AllocEnv(*c), 0);
  EXPECT_EQ(Status(*c, 39, envs[1]), 0);
  const int32_t again = AllocEnv(*c);
  EXPECT_GT(again, 0);
  EXPECT_EQ(AllocEnv(*c), 0);
  EXPECT_EQ(GetEnvMode(*other, others, 4), 0);  // still alive

  // A connection that leaves takes its environments with it; a new one
  // starts from none.
  c.reset();
  WaitFor([](const ServerCounts& n) { return n.connections == 1; });
  auto next = Opened();
  for (int i = 0; i < 3; ++i) EXPECT_GT(AllocEnv(*next), 0);
  EXPECT_EQ(AllocEnv(*next), 0);
}

// A users-file line: name:iterations:salt:hash:attributes, the hash being
// the hexadecimal PBKDF2-HMAC-SHA256 of the password with the salt's bytes.
std::string UserLine(const std::string& name, const std::string& password,
                     const std::string& attributes) {
  const unsigned char salt[4] = {0x5a, 0x17, 0xc0, 0x01};
  unsigned char hash[32];
  EXPECT_EQ(PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                              sizeof salt, 1000, EVP_sha256(), sizeof hash, hash),
            1);
  std::string hex;
  for (unsigned char byte : hash) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return name + ":1000:5a17c001:" + hex + ":" + attributes + "\n";
}

Body LogonBody(int32_t env, const std::string& user, const std::string& password) {
  return Body(67).I32(env).I32(1).Text(user).I32(1).Text(password).I32(0).I32(0).I32(0);
}

TEST_F(SessionControlTest, LogonReplyWithAndWithoutBlobAndLogoff) {
  std::ofstream(DataDir() + "/tmbusers")
      << UserLine("alice", "secret", "role=admin") << UserLine("bob", "hunter2", "");
  Start();
  auto c = Opened();
  const int32_t env = AllocEnv(*c);

  // With attributes the blob goes out as its length, then a counted block:
  // the length twice.
  c->SendPlain(LogonBody(env, "alice", "secret"));
  const Body with_blob = Body(0).I32(0).I32(10).Block("role=admin").I32(2).Text("Welcome alice")
                             .Text("Logged on as alice");
  EXPECT_EQ(BodyOf(c->ReadFrame()), Bytes(with_blob.bytes().begin() + 1, with_blob.bytes().end()));
  EXPECT_EQ(GetEnvMode(*c, env, 11), 1);

  c->SendPlain(LogonBody(env, "bob", "hunter2"));
  const Body without = Body(0).I32(0).I32(0).I32(2).Text("Welcome bob").Text("Logged on as bob");
  EXPECT_EQ(BodyOf(c->ReadFrame()), Bytes(without.bytes().begin() + 1, without.bytes().end()));

  Reply refused = Exchange(*c, LogonBody(env, "bob", "wrong"));
  EXPECT_EQ(refused.I32(), -9);
  EXPECT_EQ(refused.I32(), 0);  // no blob
  EXPECT_NE(refused.I32(), 2);  // so no logon text follows
  EXPECT_EQ(refused.Text(), "Invalid user name or password");
  EXPECT_TRUE(refused.AtEnd());
  EXPECT_EQ(GetEnvMode(*c, env, 11), 0);  // a failed logon leaves none

  EXPECT_EQ(Exchange(*c, LogonBody(env, "bob", "hunter2")).I32(), 0);
  const Body logoff = Body(68).I32(env).I32(1).Text("bob").I32(0).I32(0).I32(0).I32(5);
  Reply off = Exchange(*c, logoff);
  EXPECT_EQ(off.I32(), 0);
  EXPECT_EQ(off.I32(), 1);
  EXPECT_EQ(off.Text(), "Logged off");
  EXPECT_TRUE(off.AtEnd());
  off = Exchange(*c, logoff);
  EXPECT_EQ(off.I32(), 0);
  EXPECT_EQ(off.I32(), 0);  // no logon to end
  EXPECT_EQ(GetEnvMode(*c, env, 11), 0);
}

// A data file of 16-byte records keyed by the int in their first 4 bytes,
// made with tmbadmin as an administrator would.
void CreateDataFile(const std::string& dir, const std::string& name) {
  const std::string schema = dir + "/" + name + ".json";
  std::ofstream(schema) << R"({"description": "Items", "kind": 21, "record_length": 16,
    "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4},
               {"name": "label", "type": "char", "offset": 4, "length": 12}],
    "keys": [{"name": "by_id", "unique": true, "segments": [{"field": "id"}]}]})";
  const std::string command = std::string("'") + TMB_ADMIN_BIN + "' create '" + dir + "/" + name +
                              ".tmb' '" + schema + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

std::string Record(uint8_t id, const std::string& label) {
  std::string r(16, '\0');
  r[0] = static_cast<char>(id);
  r.replace(4, label.size(), label);
  return r;
}

class DataSession {
 public:
  // A connection with an environment and nothing open.
  explicit DataSession(uint16_t port) {
    conn_ = OpenedPlain(port);
    env_ = Exchange(*conn_, Body(38)).I32();
  }
  // Logs on first when `user` is given (a catalog with a users file asks),
  // then opens `file` for reading and writing.
  DataSession(uint16_t port, const std::string& file, const std::string& user = "",
              const std::string& password = "")
      : DataSession(port) {
    if (!user.empty()) logon_ = Exchange(*conn_, LogonBody(env_, user, password)).I32();
    Open(file, 0);
  }
  // Opens `file` in open mode `mode` (1 read-only); the file's id, or -1
  // with the error word in open_error().
  int32_t Open(const std::string& file, int16_t mode) {
    Reply open = Exchange(*conn_, Body(40).I32(env_).Text(file).I32(0).I16(mode).I32(0));
    file_ = open.I32();
    open_error_ = file_ == -1 ? open.I32() : 0;
    return file_;
  }
  int32_t file() const { return file_; }
  int32_t open_error() const { return open_error_; }
  int32_t env() const { return env_; }
  int32_t logon() const { return logon_; }
  RawConnection& conn() { return *conn_; }
  int32_t Insert(const std::string& record) {
    return Exchange(*conn_, Body(35).I32(file_).I32(16).Block(record).I16(0).I32(0).I32(0)).I32();
  }
  // Removes the record whose key 1 (the id in its first 4 bytes) is `id`.
  int32_t Remove(uint8_t id) {
    return Exchange(*conn_, Body(7).I32(file_).I16(4).Block(std::string(1, static_cast<char>(id)) +
                                                            std::string(3, '\0')))
        .I32();
  }
  int32_t AddDictionary(int16_t index, const std::string& data) {
    return Exchange(*conn_, Body(54).I32(file_).I16(index).I16(static_cast<int16_t>(data.size()))
                                .Block(data))
        .I32();
  }
  // Reads in `mode` (4 first, 2 next): the record, or "" with *status.
  std::string Read(int16_t mode, int32_t* status) {
    Reply r = Exchange(*conn_, Body(4).I32(file_).I16(16).I16(mode));
    *status = r.I32();
    return *status > 0 ? r.Block() : std::string();
  }
  int32_t Call(uint8_t opcode) { return Exchange(*conn_, Body(opcode).I32(env_)).I32(); }

 private:
  std::unique_ptr<RawConnection> conn_;
  int32_t env_ = 0;
  int32_t logon_ = 0;
  int32_t file_ = -1;
  int32_t open_error_ = 0;
};

TEST_F(SessionControlTest, DisconnectRollsBackTheOpenTransaction) {
  CreateDataFile(DataDir(), "items");
  Start();
  auto a = std::make_unique<DataSession>(server_.port(), DataDir() + "/items.tmb");
  ASSERT_GT(a->file(), 0);
  DataSession b(server_.port(), DataDir() + "/items.tmb");
  ASSERT_GT(b.file(), 0);
  // b waits up to 5 seconds for a file another transaction holds, then gets
  // BUSY (-7); the disconnect below must free it well before that.
  SetEnvMode(b.conn(), b.env(), 3, 5000);

  EXPECT_EQ(b.Insert(Record(1, "committed")), 1);  // outside a transaction: committed alone
  EXPECT_EQ(a->Call(48), 0);
  EXPECT_GT(a->Insert(Record(2, "pending")), 0);
  int32_t status = 0;
  EXPECT_EQ(a->Read(4, &status), Record(1, "committed"));
  EXPECT_EQ(a->Read(2, &status), Record(2, "pending"));  // seen by its own environment
  // The last request releases another environment of the same connection;
  // the disconnect must still roll back the one left.
  const int32_t spare = Exchange(a->conn(), Body(38)).I32();
  EXPECT_EQ(Status(a->conn(), 39, spare), 0);

  a.reset();  // the client goes away in the middle of its transaction
  // At once, without any other connection in between: the pending record's
  // key is free again, and so is the file.
  EXPECT_GT(b.Insert(Record(2, "after")), 0);
  EXPECT_EQ(b.Read(4, &status), Record(1, "committed"));
  EXPECT_EQ(b.Read(2, &status), Record(2, "after"));
  b.Read(2, &status);
  EXPECT_EQ(status, -1);
  WaitFor([](ServerCounts n) { return n.connections == 1; });

  // A committed transaction survives its connection.
  auto c = std::make_unique<DataSession>(server_.port(), DataDir() + "/items.tmb");
  EXPECT_EQ(c->Call(48), 0);
  EXPECT_GT(c->Insert(Record(3, "kept")), 0);
  EXPECT_EQ(c->Call(49), 0);
  c.reset();
  WaitFor([](ServerCounts n) { return n.connections == 1; });
  EXPECT_EQ(b.Read(5, &status), Record(3, "kept"));
}

TEST_F(SessionControlTest, IdleTransactionIsRolledBackAndItsConnectionClosed) {
  CreateDataFile(DataDir(), "items");
  Start("\"TransactionIdleTimeout\"=dword:00000001\r\n");
  auto a = std::make_unique<DataSession>(server_.port(), DataDir() + "/items.tmb");
  ASSERT_GT(a->file(), 0);
  DataSession b(server_.port(), DataDir() + "/items.tmb");
  ASSERT_GT(b.file(), 0);
  SetEnvMode(b.conn(), b.env(), 3, 5000);
  EXPECT_EQ(a->Call(48), 0);
  EXPECT_GT(a->Insert(Record(2, "pending")), 0);

  // Generous for a loaded machine: the time-out is one second.
  bool closed = false;
  for (int i = 0; i < 3 && !closed; ++i) closed = a->conn().PeerClosed();
  EXPECT_TRUE(closed);
  // b has been idle longer than the time-out too, but holds no transaction.
  int32_t status = 0;
  EXPECT_GT(b.Insert(Record(2, "after")), 0);
  EXPECT_EQ(b.Read(4, &status), Record(2, "after"));
  b.Read(2, &status);
  EXPECT_EQ(status, -1);

  // A transaction ended in time leaves the connection unlimited again.
  EXPECT_EQ(b.Call(48), 0);
  EXPECT_EQ(b.Call(49), 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(b.Read(4, &status), Record(2, "after"));
}

// Without "EnforceAccess" the entries only inform the client: whatever they
// say, and without any identification, records go in and out.
TEST_F(SessionControlTest, AccessEntriesAreAdvisoryByDefault) {
  CreateDataFile(DataDir(), "items");
  Start("", TextValue("denied/*", "[D][RW][*][*]") + TextValue("reader/*", "[A][R][Demo][]"));
  const Identity none{}, denied{"denied", "pc", "", "Demo", "", "c1"},
      reader{"reader", "pc", "", "Demo", "", "c2"};
  uint8_t id = 1;
  for (const Identity* who : {&none, &denied, &reader}) {
    SCOPED_TRACE(who->id1);
    DataSession d(server_.port());
    if (!who->client.empty()) Identify(d.conn(), *who);
    ASSERT_GT(d.Open(DataDir() + "/items", 0), 0);
    EXPECT_GT(d.Insert(Record(id, "kept")), 0);
    EXPECT_GT(d.Insert(Record(id + 1, "gone")), 0);
    EXPECT_EQ(d.Remove(id + 1), 1);
    EXPECT_EQ(d.AddDictionary(1, "note"), 0);
    id += 2;
  }
}

constexpr int32_t kDenied = -9;      // the library's status for a refused write
constexpr int32_t kDeniedWord = 9;   // the error word of a refused open
const std::string kEnforced = "\"EnforceAccess\"=dword:00000001\r\n";

// With "EnforceAccess" a connection has the rights its IdentifyClient
// earned, for catalogs named by its resource names. A file belongs to the
// catalog whose data directory holds it, however its name is spelled.
TEST_F(SessionControlTest, EnforcedAccessDecidesEveryOpenAndWrite) {
  const std::string archive = DataDir() + "/archive";
  ASSERT_EQ(mkdir(archive.c_str(), 0755), 0);
  CreateDataFile(DataDir(), "items");
  CreateDataFile(archive, "old");
  ASSERT_EQ(symlink((DataDir() + "/items.tmb").c_str(), (archive + "/link.tmb").c_str()), 0);
  Start(kEnforced,
        TextValue("writer/*", "[A][RW][Demo][]") + TextValue("second/*", "[A][RW][][Demo]") +
            TextValue("reader/*", "[A][R][Demo][]") + TextValue("denied/*", "[D][RW][*][*]") +
            TextValue("archivist/*", "[A][RW][Archive][]"),
        TextValue("Archive", "[" + archive + "][][]"));
  const std::string items = DataDir() + "/items";

  struct Case {
    Identity who;
    bool read;
    bool write;
  };
  const Case cases[] = {
      {{}, false, false},  // never identified
      {{"denied", "pc", "", "Demo", "", "c"}, false, false},
      {{"reader", "pc", "", "Demo", "", "c"}, true, false},
      {{"writer", "pc", "", "Demo", "", "c"}, true, true},
      {{"second", "pc", "", "", "Demo", "c"}, true, true},
      {{"archivist", "pc", "", "Archive", "", "c"}, false, false},  // writes Archive only
      {{"nobody", "pc", "", "Demo", "", "c"}, false, false},  // no entry applies
  };
  uint8_t id = 1;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.who.id1 + " " + k.who.resource1 + k.who.resource2);
    DataSession d(server_.port());
    if (!k.who.client.empty()) Identify(d.conn(), k.who);
    if (k.write) {
      ASSERT_GT(d.Open(items, 0), 0);
      EXPECT_GT(d.Insert(Record(id, "new")), 0);
      EXPECT_EQ(d.Remove(id), 1);
      EXPECT_EQ(d.AddDictionary(1, "note"), 0);
      ++id;
      continue;
    }
    EXPECT_EQ(d.Open(items, 0), -1);  // an open for writing
    EXPECT_EQ(d.open_error(), kDeniedWord);
    EXPECT_EQ(d.Open(items, 2 | 1), -1);  // exclusive keeps writers out: as good as writing
    EXPECT_EQ(d.open_error(), kDeniedWord);
    if (!k.read) {
      EXPECT_EQ(d.Open(items, 1), -1);
      EXPECT_EQ(d.open_error(), kDeniedWord);
      continue;
    }
    ASSERT_GT(d.Open(items, 1), 0);
    int32_t status = 0;
    d.Read(4, &status);
    EXPECT_EQ(status, -1);  // read, and found nothing
    EXPECT_EQ(d.Insert(Record(99, "no")), kDenied);
    EXPECT_EQ(d.Remove(99), kDenied);
    EXPECT_EQ(d.AddDictionary(1, "no"), kDenied);
  }

  // The Archive writer reaches its own catalog by any path, and Demo by none:
  // not through "..", a symbolic link, an absolute path, nor by moving the
  // environment's data directory there.
  DataSession a(server_.port());
  Identify(a.conn(), {"archivist", "pc", "", "Archive", "", "c"});
  EXPECT_EQ(SetEnvText(a.conn(), a.env(), 21, "Demo"), kDenied);
  EXPECT_EQ(SetEnvText(a.conn(), a.env(), 8, DataDir()), kDenied);
  EXPECT_EQ(SetEnvText(a.conn(), a.env(), 8, archive + "/../archive/."), 0);
  EXPECT_EQ(SetEnvText(a.conn(), a.env(), 21, "archive"), -1);  // none selected before
  for (const std::string& name : {std::string("../items"), std::string("link"), items,
                                  archive + "/../items.tmb"}) {
    EXPECT_EQ(a.Open(name, 1), -1) << name;
    EXPECT_EQ(a.open_error(), kDeniedWord) << name;
  }
  ASSERT_GT(a.Open("old", 0), 0);
  EXPECT_GT(a.Insert(Record(1, "archived")), 0);
  ASSERT_GT(a.Open(DataDir() + "/./archive/old", 0), 0);
  EXPECT_EQ(a.Remove(1), 1);
}

// Writing is decided at every write, by the rights the connection holds at
// that moment: identifying again with fewer rights stops the writes through
// a file opened before, and the file stays open for reading.
TEST_F(SessionControlTest, EnforcedWritesFollowTheLatestIdentification) {
  CreateDataFile(DataDir(), "items");
  Start(kEnforced, TextValue("writer/*", "[A][RW][Demo][]") + TextValue("reader/*", "[A][R][Demo][]"));
  DataSession d(server_.port());
  Identify(d.conn(), {"writer", "pc", "", "Demo", "", "c"});
  ASSERT_GT(d.Open(DataDir() + "/items", 0), 0);
  EXPECT_EQ(d.Insert(Record(1, "first")), 1);

  Identify(d.conn(), {"reader", "pc", "", "Demo", "", "c"});
  EXPECT_EQ(d.Insert(Record(2, "no")), kDenied);
  EXPECT_EQ(d.Remove(1), kDenied);
  EXPECT_EQ(d.AddDictionary(1, "no"), kDenied);
  int32_t status = 0;
  EXPECT_EQ(d.Read(4, &status), Record(1, "first"));

  Identify(d.conn(), {"writer", "pc", "", "", "", "c"});  // no resource names: no rights
  EXPECT_EQ(d.Insert(Record(2, "no")), kDenied);
  Identify(d.conn(), {"writer", "pc", "", "Demo", "", "c"});
  EXPECT_EQ(d.Insert(Record(2, "second")), 2);
}

// With "EnforceAccess" only the identities that the Security key's value
// "Administrators" names change the process-wide settings.
TEST_F(SessionControlTest, EnforcedProcessWideSettingsAreForAdministrators) {
  Start(kEnforced, TextValue("Administrators", "ops/console; root/*") +
                       TextValue("*/*", "[A][RW][*][*]"));
  auto refused = [](RawConnection& c) {
    EXPECT_EQ(Exchange(c, Body(17).I16(1)).I32(), kDenied);
    EXPECT_EQ(Exchange(c, Body(18).I16(7)).I32(), kDenied);
    for (uint8_t opcode : {31, 32}) {
      Reply r = Exchange(c, Body(opcode).Text("/elsewhere"));
      EXPECT_EQ(r.I32(), kDenied);
      EXPECT_TRUE(r.AtEnd());
    }
  };
  auto anonymous = Opened();
  refused(*anonymous);
  auto user = Opened();
  Identify(*user, {"alice", "console", "", "Demo", "", "c1"});
  refused(*user);
  Identify(*user, {"ops", "desk", "", "Demo", "", "c1"});  // names a pair, not a first name
  refused(*user);

  auto admin = Opened();
  Identify(*admin, {"ops", "console", "", "", "", "c2"});
  EXPECT_EQ(Exchange(*admin, Body(18).I16(7)).I32(), 50);  // nothing refused was set
  EXPECT_EQ(Exchange(*admin, Body(17).I16(0)).I32(), 0);
  Reply r = Exchange(*admin, Body(32).Text("/first"));
  EXPECT_EQ(r.I32(), 0);
  EXPECT_TRUE(r.AtEnd());  // no data directory before
  EXPECT_EQ(Exchange(*admin, Body(31).Text("app")).I32(), 0);
  auto other = Opened();
  Identify(*other, {"ROOT", "any", "", "", "", "c3"});  // names compare ignoring case
  EXPECT_EQ(Exchange(*other, Body(18).I16(9)).I32(), 7);
  Identify(*other, {"alice", "any", "", "", "", "c3"});  // and the right goes with the name
  refused(*other);
}

// SIGTERM while sessions are open: one in a transaction holding a record
// lock after a logon (whose key derivation leaves per-thread library state on
// its thread), one idle. The server ends both in order and exits 0; under the
// sanitizers nothing of either thread is left behind. After a restart the
// committed record is there and the pending one is not.
TEST_F(SessionControlTest, StopEndsOpenSessionsInOrder) {
  std::ofstream(DataDir() + "/tmbusers") << UserLine("alice", "secret", "");
  CreateDataFile(DataDir(), "items");
  Start();
  DataSession a(server_.port(), DataDir() + "/items.tmb", "alice", "secret");
  EXPECT_EQ(a.logon(), 0);
  ASSERT_GT(a.file(), 0);
  EXPECT_EQ(a.Insert(Record(1, "committed")), 1);
  EXPECT_EQ(a.Call(48), 0);
  EXPECT_GT(a.Insert(Record(2, "pending")), 0);
  int32_t status = 0;
  EXPECT_EQ(a.Read(4 | 0x100, &status), Record(1, "committed"));  // locked
  auto idle = Opened();

  EXPECT_EQ(server_.StopProblems(), "");
  EXPECT_TRUE(a.conn().PeerClosed());
  EXPECT_TRUE(idle->PeerClosed());

  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  DataSession b(server_.port(), DataDir() + "/items.tmb", "alice", "secret");
  ASSERT_GT(b.file(), 0);
  EXPECT_EQ(b.Read(4 | 0x100, &status), Record(1, "committed"));
  b.Read(2, &status);
  EXPECT_EQ(status, -1);  // the pending record went with its transaction
}

}  // namespace
}  // namespace tmb::test
