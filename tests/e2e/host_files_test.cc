// End-to-end: directory searches, profile strings and file status on the
// server machine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tests/e2e/data_fixture.h"

namespace tmb::test {
namespace {

constexpr uint8_t kGetProfileString = 24;
constexpr uint8_t kFindFirstFile = 25;
constexpr uint8_t kFindNextFile = 26;
constexpr uint8_t kFindClose = 27;
constexpr uint8_t kStatFile = 28;

Bytes Text(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }

class HostFilesTest : public DataServerTest {
 protected:
  void SetUp() override {
    DataServerTest::SetUp();
    for (const char* name : {"b.tmb", "a.tmb", "notes.txt"}) std::ofstream(DataDir() + "/" + name);
  }
  static int32_t First(DataConnection& c, const std::string& pattern) {
    const Bytes r = c.Raw(kFindFirstFile, [&](MessageBuffer& b) { PutText(b, pattern.c_str()); });
    return Int32At(r, 0);
  }
  static void Close(DataConnection& c, int32_t id) {
    EXPECT_EQ(c.Raw(kFindClose, [&](MessageBuffer& b) { PutInt32(b, id); }), (Bytes{0, 0, 0, 1}));
  }
};

TEST_F(HostFilesTest, SearchIdsCountUpAndStartAgainWhenAllAreClosed) {
  auto c = Connect();
  const std::string all = DataDir() + "/*";
  EXPECT_EQ(First(*c, all), 1);
  EXPECT_EQ(First(*c, all), 2);
  Close(*c, 1);
  Close(*c, 2);
  EXPECT_EQ(First(*c, all), 1);
  EXPECT_EQ(First(*c, all), 2);
  Close(*c, 2);
  EXPECT_EQ(First(*c, all), 3);  // 1 still open: no reuse
  // Unknown ids: 0 from next, 1 from close, and nothing changes.
  EXPECT_EQ(c->Raw(kFindNextFile, [&](MessageBuffer& b) { PutInt32(b, 77); }), (Bytes{0, 0, 0, 0}));
  Close(*c, 77);
  // A pattern that matches nothing: -1, and no node is kept.
  EXPECT_EQ(c->Raw(kFindFirstFile, [&](MessageBuffer& b) { PutText(b, (all + ".none").c_str()); }),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(First(*c, all), 4);
  Close(*c, 1);
  Close(*c, 3);
  Close(*c, 4);
  EXPECT_EQ(First(*c, all), 1);
}

TEST_F(HostFilesTest, SearchNamesAndSharingAcrossConnections) {
  auto c = Connect();
  const Bytes first =
      c->Raw(kFindFirstFile, [&](MessageBuffer& b) { PutText(b, (DataDir() + "/*.TMB").c_str()); });
  EXPECT_EQ(first, Bytes({0, 0, 0, 1, 0, 0, 0, 6, 'a', '.', 't', 'm', 'b', 0}));
  // Another connection goes on with the same search.
  auto other = Connect();
  EXPECT_EQ(other->Raw(kFindNextFile, [&](MessageBuffer& b) { PutInt32(b, 1); }),
            Bytes({0, 0, 0, 1, 0, 0, 0, 6, 'b', '.', 't', 'm', 'b', 0}));
  EXPECT_EQ(c->Raw(kFindNextFile, [&](MessageBuffer& b) { PutInt32(b, 1); }), (Bytes{0, 0, 0, 0}));
  // A connection that ends leaves its searches open.
  c.reset();
  EXPECT_EQ(First(*other, DataDir() + "/*"), 2);
  std::vector<std::string> names;
  for (;;) {
    const Bytes r = other->Raw(kFindNextFile, [&](MessageBuffer& b) { PutInt32(b, 2); });
    if (Int32At(r, 0) == 0) break;
    names.emplace_back(reinterpret_cast<const char*>(r.data() + 8));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"..", "a.tmb", "b.tmb", "notes.txt"}));

  // A pattern that fills its 256 bytes without a NUL ends the connection.
  bool closed = false;
  other->Raw(kFindFirstFile, [&](MessageBuffer& b) {
    const std::string full(256, 'x');
    PutBlock(b, full.data(), 256);
  }, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(HostFilesTest, ProfileStringsAndListings) {
  {
    std::ofstream ini(server_.dir() + "/client.ini");
    ini << "[ODBC]\nDriver = tmb\nTrace='off'\n[Paths]\nData=/srv/data\n";
  }
  auto c = Connect();
  const auto profile = [&](const Bytes& section, const Bytes& key, const Bytes& def,
                           int32_t size, const Bytes& file, bool* closed = nullptr) {
    return c->Raw(kGetProfileString, [&](MessageBuffer& b) {
      PutBlock(b, section.data(), static_cast<uint32_t>(section.size()));
      PutBlock(b, key.data(), static_cast<uint32_t>(key.size()));
      PutBlock(b, def.data(), static_cast<uint32_t>(def.size()));
      PutInt32(b, size);
      PutBlock(b, file.data(), static_cast<uint32_t>(file.size()));
    }, closed);
  };
  const Bytes file = Text("client.ini");
  // Empty section: the section names, each with its NUL.
  EXPECT_EQ(profile(Text(""), Text(""), Text(""), 100, file),
            Bytes({0, 0, 0, 11, 0, 0, 0, 11, 'O', 'D', 'B', 'C', 0, 'P', 'a', 't', 'h', 's', 0}));
  // Empty key: the key names of the section.
  EXPECT_EQ(profile(Text("odbc"), Text(""), Text(""), 100, file),
            Bytes({0, 0, 0, 13, 0, 0, 0, 13, 'D', 'r', 'i', 'v', 'e', 'r', 0, 'T', 'r', 'a', 'c',
                   'e', 0}));
  EXPECT_EQ(profile(Text("ODBC"), Text("trace"), Text("x"), 100, file),
            Bytes({0, 0, 0, 3, 0, 0, 0, 3, 'o', 'f', 'f'}));
  // A missing key gives the default; a list too long for the size is cut.
  EXPECT_EQ(profile(Text("ODBC"), Text("none"), Text("dflt  "), 100, file),
            Bytes({0, 0, 0, 4, 0, 0, 0, 4, 'd', 'f', 'l', 't'}));
  EXPECT_EQ(profile(Text(""), Text(""), Text(""), 7, file),
            Bytes({0, 0, 0, 5, 0, 0, 0, 5, 'O', 'D', 'B', 'C', 0}));
  // Nothing to give, or a size with no buffer: count 0 alone.
  EXPECT_EQ(profile(Text("none"), Text("none"), Text(""), 100, file), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(profile(Text("ODBC"), Text("Driver"), Text(""), 0, file), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(profile(Text("ODBC"), Text("Driver"), Text(""), -5, file), (Bytes{0, 0, 0, 0}));
  // Texts sent without their NUL are ended inside their buffers.
  const Bytes odbc = {'O', 'D', 'B', 'C'};
  EXPECT_EQ(profile(odbc, Bytes{'D', 'r', 'i', 'v', 'e', 'r'}, Bytes{}, 100,
                    Bytes{'c', 'l', 'i', 'e', 'n', 't', '.', 'i', 'n', 'i'}),
            Bytes({0, 0, 0, 3, 0, 0, 0, 3, 't', 'm', 'b'}));
  // A text that fills its 128 bytes without a NUL ends the connection.
  bool closed = false;
  profile(Bytes(128, 'S'), Text("k"), Text(""), 100, file, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(HostFilesTest, StatFileModeBits) {
  auto c = Connect();
  const auto stat_file = [&](const std::string& path) {
    return c->Raw(kStatFile, [&](MessageBuffer& b) { PutText(b, path.c_str()); });
  };
  const Bytes dir = stat_file(DataDir());
  ASSERT_EQ(dir.size(), 6u);
  EXPECT_EQ(Int32At(dir, 0), 0);
  EXPECT_EQ(dir[4] & 0xF0, 0x40);  // directory
  ASSERT_EQ(chmod((DataDir() + "/a.tmb").c_str(), 0640), 0);
  EXPECT_EQ(stat_file(DataDir() + "/a.tmb"), Bytes({0, 0, 0, 0, 0x81, 0xB6}));
  EXPECT_EQ(stat_file(DataDir() + "/missing"), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

}  // namespace
}  // namespace tmb::test
