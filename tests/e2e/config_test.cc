// End-to-end: the registry settings the server reads, through the real
// binary: the port at start, and the catalogs and view library read into
// every new environment.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "tests/e2e/requests.h"
#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

int32_t AllocEnv(RawConnection& c) {
  Reply r = Exchange(c, Body(38));
  return r.I32();
}

struct Catalog {
  int32_t found = -1;
  std::string text1, text2, text3, view_library;
};

Catalog GetCatalog(RawConnection& c, int32_t env, const std::string& name) {
  Reply r = Exchange(c, Body(70).I32(env).Text(name));
  Catalog cat;
  cat.found = r.I32();
  cat.text1 = r.Text();
  cat.text2 = r.Text();
  cat.text3 = r.Text();
  cat.view_library = r.Text();
  EXPECT_TRUE(r.AtEnd());
  return cat;
}

// The reply body of a lookup that found nothing.
const Bytes kNotFound = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0,
                         0, 0, 0, 1, 0, 0, 0, 0, 1, 0};

class ConfigTest : public ::testing::Test {
 protected:
  void Start() {
    ASSERT_TRUE(server_.Start()) << server_.Stderr();
    conn_ = OpenedPlain(server_.port());
    ASSERT_TRUE(conn_);
    env_ = AllocEnv(*conn_);
    ASSERT_NE(env_, 0);
  }
  // A clean stop, and no sanitizer report from the server of an instrumented
  // build, are part of every test.
  void TearDown() override {
    EXPECT_EQ(server_.StopProblems(), "");
  }
  Catalog Lookup(const std::string& name) { return GetCatalog(*conn_, env_, name); }

  ServerProcess server_;
  std::unique_ptr<RawConnection> conn_;
  int32_t env_ = 0;
};

TEST_F(ConfigTest, CatalogDataIsParsedWithinItsBounds) {
  server_.machine_hive = LocalMachineHive(
      {{"", TextValue("ViewLib", "machine views")},
       {"Catalogs", TextValue("Sales", "*[a][b][c]") + TextValue("Two", "[a][b]") +
                        TextValue("One", "[a]") + TextValue("Empty", "") +
                        TextValue("Long", "[" + std::string(128, 'x') + "][b][c]") +
                        TextValue("Open", "[abc") + "\"Number\"=dword:5d32315b\r\n"}});
  server_.user_hive = UserHive({{"", TextValue("ViewLib", "")}});  // empty: falls through
  Start();

  Catalog c = Lookup("sales");  // names compare ignoring case
  EXPECT_EQ(c.found, 1);
  EXPECT_EQ(c.text1, "a");
  EXPECT_EQ(c.text2, "b");
  EXPECT_EQ(c.text3, "c");
  EXPECT_EQ(c.view_library, "machine views");
  c = Lookup("DEFAULT");
  EXPECT_EQ(c.found, 1);
  EXPECT_EQ(c.text1, "a");

  struct Case {
    const char* name;
    const char* text1;
    const char* text2;
  };
  for (const Case& k : {Case{"Two", "a", "b"}, Case{"One", "a", ""}, Case{"Empty", "", ""},
                        Case{"Long", "", ""}, Case{"Open", "", ""}, Case{"Number", "12", ""}}) {
    SCOPED_TRACE(k.name);
    c = Lookup(k.name);
    EXPECT_EQ(c.found, 1);  // a malformed entry still counts
    EXPECT_EQ(c.text1, k.text1);
    EXPECT_EQ(c.text2, k.text2);
    EXPECT_EQ(c.text3, "");
    EXPECT_EQ(c.view_library, "machine views");
  }
  EXPECT_EQ(BodyOf((conn_->SendPlain(Body(70).I32(env_).Text("Nope")), conn_->ReadFrame())),
            kNotFound);
}

TEST_F(ConfigTest, DefaultMeansTheMarkNotTheName) {
  server_.machine_hive = LocalMachineHive(
      {{"Catalogs", TextValue("default", "[literal][][]") + TextValue("x", "[x][][]")}});
  Start();
  conn_->SendPlain(Body(70).I32(env_).Text("DEFAULT"));
  EXPECT_EQ(BodyOf(conn_->ReadFrame()), kNotFound);
  EXPECT_EQ(Lookup("x").text1, "x");
}

TEST_F(ConfigTest, OnlyTheFirst256QualifyingValuesAreTaken) {
  std::string lines = "@=\"[the default value]\"\r\n" +
                      TextValue(std::string(256, 'N'), "[name too long]") +
                      TextValue("Big", "[" + std::string(1290, 'd') + "]");
  for (int i = 0; i < 300; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "C%03d", i);
    lines += TextValue(name, "[" + std::to_string(i) + "]");
  }
  server_.machine_hive = LocalMachineHive({{"Catalogs", lines}});
  Start();
  EXPECT_EQ(Lookup("C000").text1, "0");
  EXPECT_EQ(Lookup("C255").text1, "255");
  EXPECT_EQ(Lookup("C256").found, 0);
  EXPECT_EQ(Lookup("C299").found, 0);
  EXPECT_EQ(Lookup("Big").found, 0);
  EXPECT_EQ(Lookup("").found, 0);
}

TEST_F(ConfigTest, UserCatalogsKeyHidesTheMachinesAndEachEnvironmentRereads) {
  server_.machine_hive = LocalMachineHive(
      {{"", TextValue("ViewLib", "mv")}, {"Catalogs", TextValue("M", "*[m][][]")}});
  server_.user_hive = UserHive({{"", TextValue("ViewLib", "uv")}, {"Catalogs", ""}});
  Start();
  EXPECT_EQ(Lookup("default").found, 0);
  EXPECT_EQ(Lookup("M").found, 0);

  // The registry is read for every new environment; the old one keeps its table.
  std::ofstream(server_.dir() + "/user.reg", std::ios::trunc)
      << UserHive({{"", TextValue("ViewLib", "uv2")}});
  const int32_t fresh = AllocEnv(*conn_);
  const Catalog c = GetCatalog(*conn_, fresh, "default");
  EXPECT_EQ(c.found, 1);
  EXPECT_EQ(c.text1, "m");
  EXPECT_EQ(c.view_library, "uv2");
  EXPECT_EQ(Lookup("M").found, 0);
}

// A four-digit port that is free now: its digits can be stored as the bytes
// of a dword.
uint16_t FreeFourDigitPort() {
  std::mt19937 rng(static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < 200; ++attempt) {
    const uint16_t port = static_cast<uint16_t>(2000 + rng() % 8000);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

bool Answers(uint16_t port) {
  RawConnection c(port);
  if (!c.ok()) return false;
  c.SendPlain({41});
  return BodyOf(c.ReadFrame()) == Bytes{0, 0};
}

TEST(ConfigPortTest, CurrentUserValueWinsAndMachineValueIsTheFallback) {
  const uint16_t machine_port = FreePort(), user_port = FreePort();
  ASSERT_NE(machine_port, user_port);
  {
    ServerProcess server;
    server.args = {};
    server.set_port(user_port);
    server.machine_hive = MachineHive(TextValue("Port", std::to_string(machine_port)));
    server.user_hive = UserHive({{"", TextValue("Port", std::to_string(user_port))}});
    ASSERT_TRUE(server.Start()) << server.Stderr();
    EXPECT_TRUE(Answers(user_port));
    EXPECT_FALSE(Answers(machine_port));
    EXPECT_EQ(server.StopProblems(), "");
  }
  ServerProcess server;
  server.args = {};
  server.set_port(machine_port);
  server.machine_hive = MachineHive(TextValue("Port", std::to_string(machine_port)));
  server.user_hive = UserHive({{"", TextValue("Other", "1")}});  // key without "Port"
  ASSERT_TRUE(server.Start()) << server.Stderr();
  EXPECT_TRUE(Answers(machine_port));
  EXPECT_EQ(server.StopProblems(), "");
}

TEST(ConfigPortTest, DwordPortIsReadAsTheTextOfItsBytes) {
  const uint16_t port = FreeFourDigitPort();
  ASSERT_NE(port, 0);
  const std::string digits = std::to_string(port);
  uint32_t dword = 0;
  for (int i = 3; i >= 0; --i) dword = (dword << 8) | static_cast<uint8_t>(digits[static_cast<size_t>(i)]);
  char line[64];
  std::snprintf(line, sizeof line, "\"Port\"=dword:%08x\r\n", dword);
  ServerProcess server;
  server.args = {};
  server.set_port(port);  // taken as a number it would be dword & 0xFFFF
  server.machine_hive = MachineHive(line);
  ASSERT_TRUE(server.Start()) << server.Stderr();
  EXPECT_TRUE(Answers(port));
  EXPECT_EQ(server.StopProblems(), "");
}

TEST(ConfigPortTest, NoSettingsKeyAtAllRefusesToStart) {
  ServerProcess server;
  server.machine_hive.clear();  // no hive files: no Catalogs key anywhere
  EXPECT_FALSE(server.Start());
  EXPECT_NE(server.Stderr().find("Unable to find a valid catalog"), std::string::npos)
      << server.Stderr();
}

}  // namespace
}  // namespace tmb::test
