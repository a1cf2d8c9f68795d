// End-to-end: directory searches, profile strings and file status on the
// server machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/data_fixture.h"
#include "tests/e2e/requests.h"

namespace tmb::test {
namespace {

constexpr uint8_t kGetProfileString = 24;
constexpr uint8_t kFindFirstFile = 25;
constexpr uint8_t kFindNextFile = 26;
constexpr uint8_t kFindClose = 27;
constexpr uint8_t kStatFile = 28;

Bytes Text(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }

const Bytes kNone = {0xFF, 0xFF, 0xFF, 0xFF};

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
  // The reply of FindNextFile: 1 and a name, or 0 alone.
  static Bytes Next(DataConnection& c, int32_t id) {
    return c.Raw(kFindNextFile, [&](MessageBuffer& b) { PutInt32(b, id); });
  }
  static void Close(DataConnection& c, int32_t id) {
    EXPECT_EQ(c.Raw(kFindClose, [&](MessageBuffer& b) { PutInt32(b, id); }), (Bytes{0, 0, 0, 1}));
  }
  static Bytes Stat(DataConnection& c, const std::string& path) {
    return c.Raw(kStatFile, [&](MessageBuffer& b) { PutText(b, path.c_str()); });
  }
  static Bytes Profile(DataConnection& c, const std::string& section, const std::string& key,
                       const std::string& def, int32_t size, const std::string& file) {
    return c.Raw(kGetProfileString, [&](MessageBuffer& b) {
      PutText(b, section.c_str());
      PutText(b, key.c_str());
      PutText(b, def.c_str());
      PutInt32(b, size);
      PutText(b, file.c_str());
    });
  }
  // Replaces the current user's hive; the server reads it again at its next
  // use. Each text differs in length from the one before, so the change is
  // seen even within one tick of the file clock.
  void UserHiveText(const std::string& text) {
    std::ofstream(server_.dir() + "/user.reg", std::ios::binary | std::ios::trunc) << text;
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
  Close(*other, 1);  // any connection may close it, too
  EXPECT_EQ(First(*other, DataDir() + "/*"), 1);
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
    std::ofstream ini(DataDir() + "/client.ini");
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
  // Relative: from the server's working directory, into the catalog's.
  const Bytes file = Text("demo/client.ini");
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
                    Bytes{'d', 'e', 'm', 'o', '/', 'c', 'l', 'i', 'e', 'n', 't', '.', 'i', 'n',
                          'i'}),
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


// Every service answers a path that leads out of the catalogs' data
// directories as it answers a path that does not exist, however the path
// gets there: absolute, "..", or a symbolic link inside the directory.
TEST_F(HostFilesTest, ServicesReachOnlyTheCatalogDataDirectories) {
  const std::string outside = server_.dir() + "/private";
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  std::ofstream(outside + "/creds.ini") << "[db]\npassword=hunter2\n";
  ASSERT_EQ(chmod((outside + "/creds.ini").c_str(), 0600), 0);
  std::ofstream(DataDir() + "/inside.ini") << "[db]\npassword=open\n";
  ASSERT_EQ(symlink("../private", (DataDir() + "/escape").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (DataDir() + "/escape_abs").c_str()), 0);
  ASSERT_EQ(symlink("inside.ini", (DataDir() + "/alias.ini").c_str()), 0);
  auto c = Connect();

  const std::vector<std::string> patterns = {
      outside + "/*", DataDir() + "/../private/*", DataDir() + "/escape/*",
      DataDir() + "/escape_abs/*", DataDir() + "\\..\\private\\*", "/etc/*", "/*",
      server_.dir() + "/*", "*.reg"};
  for (const std::string& pattern : patterns) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(c->Raw(kFindFirstFile, [&](MessageBuffer& b) { PutText(b, pattern.c_str()); }),
              kNone);
  }
  const std::vector<std::string> paths = {
      outside, outside + "/creds.ini", DataDir() + "/escape/creds.ini", DataDir() + "/escape_abs",
      DataDir() + "/..", "/etc/passwd", "machine.reg", "demo/../machine.reg"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Stat(*c, path), kNone);
  }
  // A value outside gives the default, as from a missing file; a listing
  // outside (the server's own registry hive) is empty.
  const std::vector<std::string> files = {outside + "/creds.ini", DataDir() + "/escape/creds.ini",
                                          DataDir() + "/../private/creds.ini"};
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    EXPECT_EQ(Profile(*c, "db", "password", "none", 100, file),
              Bytes({0, 0, 0, 4, 0, 0, 0, 4, 'n', 'o', 'n', 'e'}));
  }
  EXPECT_EQ(Profile(*c, "", "", "", 1000, "machine.reg"), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(Profile(*c, "", "", "", 1000, server_.dir() + "/machine.reg"), (Bytes{0, 0, 0, 0}));

  // Inside, by any spelling, everything still answers.
  EXPECT_EQ(Profile(*c, "db", "password", "none", 100, DataDir() + "/alias.ini"),
            Bytes({0, 0, 0, 4, 0, 0, 0, 4, 'o', 'p', 'e', 'n'}));
  // ".." after a link goes up from where the link leads, as the file system
  // takes it: escape/.. is the server's own directory, not the data one.
  EXPECT_EQ(Profile(*c, "db", "password", "none", 100, "demo/./escape/../demo/inside.ini"),
            Bytes({0, 0, 0, 4, 0, 0, 0, 4, 'o', 'p', 'e', 'n'}));
  EXPECT_EQ(Stat(*c, DataDir() + "/escape/../machine.reg"), kNone);
  EXPECT_EQ(Int32At(Stat(*c, DataDir()), 0), 0);
  EXPECT_EQ(Int32At(Stat(*c, "demo/a.tmb"), 0), 0);
  const int32_t id = First(*c, "demo\\*.tmb");
  ASSERT_GT(id, 0);
  EXPECT_EQ(Next(*c, id), Bytes({0, 0, 0, 1, 0, 0, 0, 6, 'b', '.', 't', 'm', 'b', 0}));
  Close(*c, id);
  // The data directory lists its ".." like any other directory: a name,
  // not a way out.
  const Bytes dot = c->Raw(kFindFirstFile, [&](MessageBuffer& b) {
    PutText(b, (DataDir() + "/..").c_str());
  });
  EXPECT_EQ(dot, Bytes({0, 0, 0, 1, 0, 0, 0, 3, '.', '.', 0}));
}

// The roots are read at every request: a catalog or a "HostFileRoots"
// directory counts from the next request on, and stops counting when it goes.
TEST_F(HostFilesTest, HostFileRootsAndChangedCatalogsCountAtTheNextRequest) {
  const std::string shared = server_.dir() + "/shared";
  const std::string second = server_.dir() + "/second";
  for (const std::string& d : {shared, second}) {
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    std::ofstream(d + "/x.txt") << "x";
  }
  auto c = Connect();
  EXPECT_EQ(Stat(*c, shared + "/x.txt"), kNone);
  EXPECT_EQ(Stat(*c, second + "/x.txt"), kNone);

  // Blanks around entries and empty entries are ignored; a missing
  // directory adds nothing. A prefix of a root's name is no root.
  UserHiveText(UserHive({{"", TextValue("HostFileRoots", " " + server_.dir() + "/none ;;" +
                                                             shared + " ; ")}}));
  EXPECT_EQ(Int32At(Stat(*c, shared + "/x.txt"), 0), 0);
  EXPECT_GT(First(*c, shared + "/*.txt"), 0);
  EXPECT_EQ(Stat(*c, second + "/x.txt"), kNone);
  ASSERT_EQ(mkdir((shared + "2").c_str(), 0755), 0);
  EXPECT_EQ(Stat(*c, shared + "2"), kNone);

  // The user's catalog key replaces the machine's: "demo" is gone with it.
  UserHiveText(UserHive({{"Catalogs", TextValue("Second", "*[" + second + "][][]")}}));
  EXPECT_EQ(Int32At(Stat(*c, second + "/x.txt"), 0), 0);
  EXPECT_EQ(Stat(*c, shared + "/x.txt"), kNone);
  EXPECT_EQ(Stat(*c, DataDir() + "/a.tmb"), kNone);

  UserHiveText(UserHive({{"", TextValue("Other", "1")}}));
  EXPECT_EQ(Stat(*c, second + "/x.txt"), kNone);
  EXPECT_EQ(Int32At(Stat(*c, DataDir() + "/a.tmb"), 0), 0);
}

// A search is closed when the connection that opened it ends, and one
// connection holds at most "SearchesPerConnection" of them (16 unless set).
TEST_F(HostFilesTest, SearchesEndWithTheirConnectionAndEachHoldsALimitedNumber) {
  const std::string all = DataDir() + "/*";
  auto c = Connect();
  for (int32_t i = 1; i <= 16; ++i) ASSERT_EQ(First(*c, all), i);
  EXPECT_EQ(c->Raw(kFindFirstFile, [&](MessageBuffer& b) { PutText(b, all.c_str()); }), kNone);

  // The limit is per connection; closing a search, from any connection,
  // gives its opener room for another.
  auto other = Connect();
  EXPECT_EQ(First(*other, all), 17);
  Close(*other, 5);
  EXPECT_EQ(First(*c, all), 18);
  EXPECT_EQ(First(*c, all), -1);

  // Once `c` is gone its searches are too: with `other`'s closed, the list
  // is empty and ids start again at 1. The server ends the session a moment
  // after the client leaves, so the ids are asked for until then.
  c.reset();
  Close(*other, 17);
  int32_t id = 0;
  for (int attempt = 0; attempt < 250; ++attempt) {
    id = First(*other, all);
    if (id == 1) break;
    Close(*other, id);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(id, 1);
  EXPECT_EQ(Next(*other, 2), (Bytes{0, 0, 0, 0}));  // one of `c`'s searches
  Close(*other, 1);

  UserHiveText(UserHive({{"", "\"SearchesPerConnection\"=dword:00000002\r\n"}}));
  auto limited = Connect();
  EXPECT_EQ(First(*limited, all), 1);
  EXPECT_EQ(First(*limited, all), 2);
  EXPECT_EQ(First(*limited, all), -1);
}

}  // namespace
}  // namespace tmb::test
