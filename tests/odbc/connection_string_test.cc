// Connection strings as applications write them and DSN entries as
// odbc.ini holds them.
#include "client/odbc/connection_string.h"

#include <gtest/gtest.h>

#include <map>

namespace tmb::odbc {
namespace {

TEST(ConnectionStringTest, ReadsPairsBracesAndFirstOccurrence) {
  ConnectionKeys keys;
  std::string error;
  ASSERT_TRUE(ParseConnectionString(
      " DSN = demo ;pwd={a;b=c}}d};Server=db.example;;server=other;UID=x", &keys, &error))
      << error;
  ASSERT_NE(FindKey(keys, "dsn"), nullptr);
  EXPECT_EQ(*FindKey(keys, "DSN"), "demo");
  EXPECT_EQ(*FindKey(keys, "PWD"), "a;b=c}d");
  EXPECT_EQ(*FindKey(keys, "SERVER"), "db.example");  // the first one wins
  EXPECT_EQ(*FindKey(keys, "uid"), "x");
  EXPECT_EQ(FindKey(keys, "Port"), nullptr);
  // What the driver hands back reads as the same keys.
  ConnectionKeys again;
  ASSERT_TRUE(ParseConnectionString(ComposeConnectionString(keys), &again, &error)) << error;
  EXPECT_EQ(again, keys);
}

TEST(ConnectionStringTest, RefusesBrokenStrings) {
  ConnectionKeys keys;
  std::string error;
  EXPECT_FALSE(ParseConnectionString("DSN=x;garbage", &keys, &error));
  EXPECT_NE(error.find("garbage"), std::string::npos) << error;
  EXPECT_FALSE(ParseConnectionString("=value", &keys, &error));
  EXPECT_FALSE(ParseConnectionString("PWD={open;", &keys, &error));
  EXPECT_NE(error.find("PWD"), std::string::npos) << error;
  EXPECT_FALSE(ParseConnectionString("PWD={a}b;", &keys, &error));
  EXPECT_TRUE(ParseConnectionString("", &keys, &error));
  EXPECT_TRUE(keys.empty());
}

TEST(ConnectionStringTest, StringOverridesDsnAndValuesAreChecked) {
  std::map<std::string, std::string> ini = {{"Server", "10.0.0.5"}, {"Port", "20300"},
                                            {"Catalog", "Demo"},     {"Identity", "clerk/pc1"},
                                            {"TLS", "yes"},          {"CA", "/etc/ca.pem"},
                                            {"Compression", "ZLIB"}, {"LockTimeout", "250"},
                                            {"UID", "anna"}};
  std::vector<std::string> asked_dsn;
  ProfileLookup lookup = [&](const std::string& dsn, const std::string& key) {
    asked_dsn.push_back(dsn);
    auto it = ini.find(key);
    return it == ini.end() ? std::string() : it->second;
  };
  ConnectionKeys keys;
  std::string error;
  ASSERT_TRUE(ParseConnectionString("DSN=shop;Port=20400;PWD=pw;TLS=off", &keys, &error));
  sql::Target t;
  ASSERT_TRUE(ResolveTarget(keys, lookup, &t, &error)) << error;
  EXPECT_EQ(t.host, "10.0.0.5");
  EXPECT_EQ(t.port, 20400);
  EXPECT_EQ(t.catalog, "Demo");
  EXPECT_EQ(t.identity, "clerk/pc1");
  EXPECT_EQ(t.user, "anna");
  EXPECT_EQ(t.password, "pw");
  EXPECT_FALSE(t.tls.enabled);
  EXPECT_EQ(t.tls.ca_file, "/etc/ca.pem");
  EXPECT_EQ(t.compression, CompressionChoiceOption::kZlib);
  EXPECT_EQ(t.lock_timeout_ms, 250);
  ASSERT_FALSE(asked_dsn.empty());
  EXPECT_EQ(asked_dsn.front(), "shop");

  // Without a DSN nothing is looked up and the defaults stand.
  asked_dsn.clear();
  ASSERT_TRUE(ParseConnectionString("Catalog=Other", &keys, &error));
  sql::Target plain;
  ASSERT_TRUE(ResolveTarget(keys, lookup, &plain, &error)) << error;
  EXPECT_TRUE(asked_dsn.empty());
  EXPECT_EQ(plain.host, "127.0.0.1");
  EXPECT_EQ(plain.port, 20222);
  EXPECT_EQ(plain.catalog, "Other");
  EXPECT_TRUE(plain.identity.empty());
  EXPECT_EQ(plain.compression, CompressionChoiceOption::kRunLength);
  EXPECT_EQ(plain.lock_timeout_ms, -1);  // the server's own wait
  ASSERT_TRUE(ParseConnectionString("Identity=admin;LockTimeout=0", &keys, &error));
  ASSERT_TRUE(ResolveTarget(keys, lookup, &plain, &error)) << error;
  EXPECT_EQ(plain.identity, "admin");
  EXPECT_EQ(plain.lock_timeout_ms, 0);
  ASSERT_TRUE(ParseConnectionString("LockTimeout=600000", &keys, &error));
  ASSERT_TRUE(ResolveTarget(keys, lookup, &plain, &error)) << error;
  EXPECT_EQ(plain.lock_timeout_ms, sql::kMaxLockTimeoutMs);

  for (const char* bad : {"Port=0", "Port=65536", "Port=12ab", "Port=", "Identity=/pc1",
                          "Identity=a/b/c", "Identity=clerk/", "TLS=maybe",
                          "Compression=lz4", "LockTimeout=-1", "LockTimeout=600001",
                          "LockTimeout=5s", "LockTimeout="}) {
    ASSERT_TRUE(ParseConnectionString(bad, &keys, &error)) << bad;
    sql::Target t2;
    EXPECT_FALSE(ResolveTarget(keys, lookup, &t2, &error)) << bad;
    const std::string key(bad, std::string(bad).find('='));
    EXPECT_NE(error.find(key), std::string::npos) << bad << ": " << error;
  }
}

}  // namespace
}  // namespace tmb::odbc
