// End-to-end: what a client cannot do to the data library through the real
// server. An index description at the top of the number range, a reader
// that went quiet while another client keeps writing, a link into a
// directory whose users guard it, and a server out of file descriptors.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/session_calls.h"
#include "tests/e2e/data_fixture.h"
#include "tmbio/admin.h"

namespace tmb::test {
namespace {

constexpr uint8_t kDescribeIndex = 44;
constexpr int32_t kUpdateByKey = 2;

// id int4 @0, a char40 @4, b char40 @44, c int4 @84; 96 bytes, a key over
// each field.
Schema Wide() {
  Schema s;
  s.record_length = 96;
  s.Field("id", "int", 0, 4).Field("a", "char", 4, 40).Field("b", "char", 44, 40);
  s.Field("c", "int", 84, 4);
  s.Key("by_id", "id", 0x0800);
  s.Key("by_a", "a", 0, false);
  s.Key("by_b", "b", 0, false);
  s.Key("by_c", "c", 0x0800, false);
  return s;
}

std::string Row(int32_t id, int32_t version) {
  const std::string v = std::to_string(version);
  return Int32Le(id) + Padded("a" + v + "-" + std::to_string(id), 40) + Padded(v + "b", 40) +
         Int32Le(version * 7919 % 100003) + std::string(8, '\0');
}

int32_t IdOf(const std::string& record) {
  if (record.size() < 4) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(record.data());
  return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

using HardeningTest = DataServerTest;

TEST_F(HardeningTest, IndexDescriptionFromTheTopOfTheRangeDescribesNothing) {
  CreateFile("wide.tmb", Wide());
  auto c = Connect();
  const int32_t file = c->Open("wide.tmb");
  const auto describe = [&](int32_t start, int32_t end, int32_t segments, uint8_t want) {
    return c->Raw(kDescribeIndex, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, start);
      PutInt32(b, end);
      PutInt32(b, segments);
      PutByte(b, want);
      PutByte(b, want);
    });
  };
  // A start past every key is status 0 and nothing more, even where start
  // plus one no longer fits 32 bits.
  EXPECT_EQ(describe(0x7FFFFFFF, 0x7FFFFFFF, 16, 1), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(describe(0x7FFFFFFF, 0x7FFFFFFF, 0, 0), (Bytes{0, 0, 0, 0}));
  // The session goes on.
  const Bytes all = describe(0, 4, 4, 1);
  ASSERT_GE(all.size(), 8u);
  EXPECT_EQ(Int32At(all, 0), 4);
  EXPECT_EQ(Int32At(all, 4), 4);
}

TEST_F(HardeningTest, AQuietReaderDoesNotHoldTheLogWhileAnotherClientWrites) {
  constexpr int32_t kRecords = 100;
  constexpr int32_t kUpdates = 1000;
  // The checkpoint is due every thousand pages of 4 KiB, and one update here
  // is a few pages: a log that is reused from its start stays below this.
  constexpr off_t kLogBound = 6 * 1024 * 1024;
  CreateFile("log.tmb", Wide());
  auto writer = Connect();
  const int32_t wfile = writer->Open("log.tmb");
  for (int32_t id = 1; id <= kRecords; ++id) writer->Insert(wfile, Row(id, 0));

  auto reader = Connect();
  const int32_t rfile = reader->Open("log.tmb");
  int32_t status = 0;
  std::string record, error;
  ASSERT_TRUE(CallReadRecord(reader->client(), rfile, 96, 4, &status, &record, &error)) << error;
  ASSERT_EQ(status, 96);
  ASSERT_EQ(IdOf(record), 1);

  for (int32_t i = 0; i < kUpdates; ++i) {
    const int32_t id = i % kRecords + 1;
    ASSERT_TRUE(CallExtWrite(writer->client(), wfile, Row(id, i + 1), Int32Le(id), kUpdateByKey,
                             0, &status, &error))
        << error;
    ASSERT_GT(status, 0) << "update " << i;
  }
  struct stat st{};
  ASSERT_EQ(stat((DataDir() + "/log.tmb-wal").c_str(), &st), 0);
  EXPECT_LT(st.st_size, kLogBound) << "write-ahead log of " << st.st_size << " bytes";

  // The reader goes on from its record and sees the updates.
  ASSERT_TRUE(CallReadRecord(reader->client(), rfile, 96, 2, &status, &record, &error)) << error;
  ASSERT_EQ(status, 96);
  EXPECT_EQ(IdOf(record), 2);
  EXPECT_EQ(record.substr(44, 40), Padded(std::to_string(kUpdates - kRecords + 2) + "b", 40));
}

TEST_F(HardeningTest, ALinkIntoAGuardedDirectoryOpensOnlyAfterItsLogon) {
  // The catalog's directory has no users file; "guarded" below it has one.
  // (Below it, so that the link leads inside the catalog's data directory
  // and only the users file can refuse it.)
  const std::string guarded = DataDir() + "/guarded";
  ASSERT_EQ(mkdir(guarded.c_str(), 0755), 0);
  std::string error;
  ASSERT_EQ(tmbio::CreateDataFile(guarded + "/secret.tmb", Wide().Definition(), &error), 0)
      << error;
  std::ofstream(guarded + "/tmbusers") << tmbio::MakeUserLine("anna", "s3cret", "", 1000) << "\n";
  std::filesystem::create_symlink(guarded + "/secret.tmb", DataDir() + "/alias.tmb");

  auto c = Connect();
  OpenedFile f;
  ASSERT_TRUE(CallOpenFile(c->client(), c->env(), "alias.tmb", 0, &f, &error)) << error;
  EXPECT_EQ(f.id, -1);
  EXPECT_EQ(f.error, 9);
  // Neither is the linked file listed among the catalog's tables.
  int32_t handle = 0, handle_error = 0, status = -1, tables = -1, columns = -1;
  ASSERT_TRUE(CallRequestHandle(c->client(), c->env(), &handle, &handle_error, &error)) << error;
  ASSERT_NE(handle, 0) << handle_error;
  ASSERT_TRUE(CallGetTables(c->client(), handle, "", &status, &tables, &columns, &error)) << error;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(tables, 0);
}

// The server starts with a descriptor limit low enough for a test to reach.
class DescriptorLimitTest : public DataServerTest {
 protected:
  static constexpr unsigned kServerDescriptors = 64;
  void SetUp() override {
    server_.descriptor_limit = kServerDescriptors;
    // Each open below takes an environment of its own: the descriptors, not
    // the environments a connection may hold, are to run out first.
    server_.machine_hive = MachineHive("\"EnvironmentsPerConnection\"=dword:00000100\r\n");
    DataServerTest::SetUp();
  }
};

TEST_F(DescriptorLimitTest, OpensPastTheLimitAreRefusedAsALimitAndTheServerGoesOn) {
  CreateFile("many.tmb", Wide());
  auto c = Connect();
  std::string error;
  // Every open in an environment of its own takes descriptors of its own.
  std::vector<int32_t> envs, files, refusals;
  const auto open_one = [&]() {
    int32_t env = 0;
    ASSERT_TRUE(CallAllocEnv(c->client(), &env, &error)) << error;
    OpenedFile f;
    ASSERT_TRUE(CallOpenFile(c->client(), env, "many.tmb", 0, &f, &error)) << error;
    envs.push_back(env);
    if (f.id == -1) {
      refusals.push_back(f.error);
    } else {
      files.push_back(f.id);
    }
  };
  // Closing and releasing run once while descriptors are plenty: a
  // sanitizer checks a dynamic type through a pipe of its own the first
  // time it meets it, which it could not make later on.
  open_one();
  int32_t status = 0;
  ASSERT_EQ(files.size(), 1u);
  ASSERT_TRUE(CallCloseFile(c->client(), files.back(), &status, &error)) << error;
  files.pop_back();
  ASSERT_TRUE(CallDeAllocEnv(c->client(), envs.back(), &error)) << error;
  envs.pop_back();

  for (int i = 0; i < 200 && refusals.empty(); ++i) open_one();
  ASSERT_FALSE(refusals.empty()) << "no open ran out of descriptors";
  // Out of descriptors by none, by one and by two: each connection accepted
  // takes one, each file closed gives back what its open took.
  std::vector<std::unique_ptr<RawConnection>> takers;
  for (int round = 0; round < 3 && !files.empty(); ++round) {
    ASSERT_TRUE(CallCloseFile(c->client(), files.back(), &status, &error)) << error;
    files.pop_back();
    takers.push_back(std::make_unique<RawConnection>(server_.port()));
    open_one();
    open_one();
  }
  for (int32_t word : refusals) EXPECT_EQ(word, 16);
  EXPECT_NE(server_.Stderr().find("file descriptors"), std::string::npos) << server_.Stderr();

  // With its descriptors back, the server opens the file again.
  takers.clear();
  for (int32_t env : envs) ASSERT_TRUE(CallDeAllocEnv(c->client(), env, &error)) << error;
  const int32_t again = c->Open("many.tmb");
  EXPECT_NE(again, -1);
}

}  // namespace
}  // namespace tmb::test
