#include "config/catalogs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "config/settings.h"
#include "tests/config/hive_files.h"

namespace tmb {
namespace {

// Parses `data` from a heap block of exactly its size, without a
// terminator, so that a scan past the end is an AddressSanitizer report.
TMBCatalogEntry Parse(const std::string& data) {
  std::unique_ptr<char[]> exact(new char[data.size() + (data.empty() ? 1 : 0)]);
  std::memcpy(exact.get(), data.data(), data.size());
  TMBCatalogEntry entry{};
  ParseCatalogData(exact.get(), data.size(), &entry);
  return entry;
}

TEST(CatalogDataTest, FullEntryWithDefaultMark) {
  const TMBCatalogEntry e = Parse("*[a][b][c]");
  EXPECT_EQ(e.is_default, 1u);
  EXPECT_STREQ(e.text1, "a");
  EXPECT_STREQ(e.text2, "b");
  EXPECT_STREQ(e.text3, "c");
  const TMBCatalogEntry plain = Parse("[/data/x][two words][three]trailing ignored");
  EXPECT_EQ(plain.is_default, 0u);
  EXPECT_STREQ(plain.text1, "/data/x");
  EXPECT_STREQ(plain.text2, "two words");
  EXPECT_STREQ(plain.text3, "three");
}

TEST(CatalogDataTest, ShortDataStopsAtItsEnd) {
  struct Case {
    const char* data;
    const char* text1;
    const char* text2;
    const char* text3;
  };
  const Case cases[] = {
      {"[a][b]", "a", "b", ""},   {"[a][b", "a", "", ""},  {"[a]", "a", "", ""},
      {"[a", "", "", ""},         {"", "", "", ""},        {"*", "", "", ""},
      {"*[", "", "", ""},         {"[]", "", "", ""},      {"[a][b][c", "a", "b", ""},
      {"x]-y]-z]", "", "y", "z"},  // the opening brackets are not looked at
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    const TMBCatalogEntry e = Parse(c.data);
    EXPECT_STREQ(e.text1, c.text1);
    EXPECT_STREQ(e.text2, c.text2);
    EXPECT_STREQ(e.text3, c.text3);
  }
}

TEST(CatalogDataTest, TextsThatDoNotFitEndParsing) {
  const std::string t127(127, 'x'), t128(128, 'x'), t1023(1023, 'y'), t1024(1024, 'y');
  TMBCatalogEntry e = Parse("[" + t128 + "][b][c]");
  EXPECT_STREQ(e.text1, "");
  EXPECT_STREQ(e.text2, "");
  EXPECT_STREQ(e.text3, "");
  e = Parse("[" + t127 + "][" + t128 + "][c]");
  EXPECT_EQ(e.text1, t127);
  EXPECT_STREQ(e.text2, "");
  EXPECT_STREQ(e.text3, "");
  e = Parse("[a][" + t127 + "][" + t1023 + "]");
  EXPECT_EQ(e.text2, t127);
  EXPECT_EQ(e.text3, t1023);
  e = Parse("[a][b][" + t1024 + "]");
  EXPECT_STREQ(e.text2, "b");
  EXPECT_STREQ(e.text3, "");
}

TEST(CatalogDataTest, TextEndsAtZeroByteBeforeTheDataSize) {
  const char data[] = "[a]\0[b][c]";
  TMBCatalogEntry e{};
  ParseCatalogData(data, sizeof data, &e);
  EXPECT_STREQ(e.text1, "a");
  EXPECT_STREQ(e.text2, "");
}

// The hive files come from the fixture; each read fills a fresh
// environment, as the library hands them out.
class CatalogRegistryTest : public HiveFilesTest {
 protected:
  void Read() {
    env_.reset(new TMBEnvironment());
    ReadCatalogs(env_.get());
  }

  std::unique_ptr<TMBEnvironment> env_;
};

// Hive order, the 256-entry limit and skipped values are shown end to end
// (tests/e2e/config_test.cc); these are the size limits of the texts.
TEST_F(CatalogRegistryTest, ViewLibraryMustFitItsFieldWithATerminator) {
  Machine({{"", "\"ViewLib\"=\"machine views\"\r\n"}, {"Catalogs", ""}});
  Read();
  EXPECT_STREQ(env_->view_library, "machine views");
  User({{"", "\"ViewLib\"=\"\"\r\n"}});
  Read();
  EXPECT_STREQ(env_->view_library, "machine views");
  User({{"", "\"ViewLib\"=\"user views\"\r\n"}});
  Read();
  EXPECT_STREQ(env_->view_library, "user views");
  // 128 characters do not fit with the terminator: taken as absent.
  User({{"", "\"ViewLib\"=\"" + std::string(128, 'v') + "\"\r\n"}});
  Read();
  EXPECT_STREQ(env_->view_library, "machine views");
  User({{"", "\"ViewLib\"=\"" + std::string(127, 'v') + "\"\r\n"}});
  Read();
  EXPECT_EQ(std::string(env_->view_library), std::string(127, 'v'));
  // Binary data filling the field with no zero byte has no room for one.
  std::string hex = "hex:";
  for (int i = 0; i < 128; ++i) hex += std::string(i ? "," : "") + "41";
  User({{"", "\"ViewLib\"=" + hex + "\r\n"}});
  Read();
  EXPECT_STREQ(env_->view_library, "machine views");
}

TEST_F(CatalogRegistryTest, CertificateSettingFollowsHiveOrderAndSize) {
  std::string setting;
  ReadCertificateSetting(&setting);
  EXPECT_EQ(setting, "");
  Machine({{"", "\"SSL\"=\"/etc/machine.pem\"\r\n"}});
  ReadCertificateSetting(&setting);
  EXPECT_EQ(setting, "/etc/machine.pem");
  setting.clear();
  User({{"", "\"SSL\"=\"" + std::string(260, 'p') + "\"\r\n"}});  // too long: absent
  ReadCertificateSetting(&setting);
  EXPECT_EQ(setting, "/etc/machine.pem");
  setting.clear();
  User({{"", "\"SSL\"=\"" + std::string(259, 'p') + "\"\r\n"}});
  ReadCertificateSetting(&setting);
  EXPECT_EQ(setting, std::string(259, 'p'));
  setting = "/given.pem";  // a setting already made is kept
  ReadCertificateSetting(&setting);
  EXPECT_EQ(setting, "/given.pem");
}

}  // namespace
}  // namespace tmb
