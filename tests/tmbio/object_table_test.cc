// The object table that QD_SocketClosed and the counts run on, filled here
// with objects of the test's own making, as the engine will fill it.
#include "tmbio/object_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// What the release functions saw, in order. Release functions are plain
// function pointers, so the log is process-wide.
struct Released {
  void* object;
  bool cell_was_empty;  // files only
};
std::mutex log_mu;
std::vector<Released> release_log;
std::atomic<int> releases{0};

void ReleaseEnv(void* object) {
  {
    std::lock_guard<std::mutex> lock(log_mu);
    release_log.push_back({object, true});
  }
  releases.fetch_add(1);
  std::free(object);
}

void ReleaseFile(void* object) {
  auto* file = static_cast<TMBFile*>(object);
  {
    std::lock_guard<std::mutex> lock(log_mu);
    release_log.push_back({object, file->server_cell == nullptr});
  }
  releases.fetch_add(1);
  std::free(object);
}

TMBEnvironment* NewEnv(uint64_t owner) {
  auto* env = static_cast<TMBEnvironment*>(std::calloc(1, sizeof(TMBEnvironment)));
  env->object_type = TMBIO_OBJECT_ENVIRONMENT;
  TMBSetEnvironmentOwner(env, owner);
  return env;
}

TMBFile* NewFile(TMBEnvironment* env, bool with_cell) {
  auto* file = static_cast<TMBFile*>(std::calloc(1, sizeof(TMBFile)));
  file->object_type = TMBIO_OBJECT_FILE;
  file->environment = env;
  if (with_cell) file->server_cell = std::malloc(64);
  return file;
}

class ObjectTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    release_log.clear();
    releases = 0;
  }
  tmbio::ObjectTable table_;
};

TEST_F(ObjectTableTest, SocketCloseReleasesExactlyWhatTheSocketOwns) {
  TMBEnvironment* a = NewEnv(7);
  TMBEnvironment* b = NewEnv(8);
  TMBFile* a1 = NewFile(a, true);
  TMBFile* a2 = NewFile(a, false);
  TMBFile* b1 = NewFile(b, true);
  ASSERT_TRUE(table_.AddEnvironment(a, ReleaseEnv));
  ASSERT_TRUE(table_.AddEnvironment(b, ReleaseEnv));
  ASSERT_TRUE(table_.AddFile(a1, a, ReleaseFile));
  ASSERT_TRUE(table_.AddFile(b1, b, ReleaseFile));
  ASSERT_TRUE(table_.AddFile(a2, a, ReleaseFile));
  EXPECT_EQ(table_.environment_count(), 2);
  EXPECT_EQ(table_.file_count(), 3);
  EXPECT_EQ(table_.environment_count_of(7), 1);
  EXPECT_EQ(table_.file_count_of(7), 2);
  EXPECT_EQ(table_.file_count_of(8), 1);
  EXPECT_EQ(table_.environment_count_of(TMBIO_NO_SOCKET), 0);

  table_.ReleaseOwnedBy(7);
  // Files go before the environment they live in, and their read buffers
  // are gone by the time the engine frees them.
  ASSERT_EQ(release_log.size(), 3u);
  EXPECT_EQ(release_log[0].object, a1);
  EXPECT_EQ(release_log[1].object, a2);
  EXPECT_EQ(release_log[2].object, a);
  EXPECT_TRUE(release_log[0].cell_was_empty);
  EXPECT_TRUE(release_log[1].cell_was_empty);
  EXPECT_EQ(table_.environment_count(), 1);
  EXPECT_EQ(table_.file_count(), 1);
  EXPECT_EQ(table_.environment_count_of(7), 0);
  EXPECT_EQ(table_.file_count_of(7), 0);
  EXPECT_EQ(table_.environment_count_of(8), 1);
  EXPECT_NE(b1->server_cell, nullptr);  // another connection's buffer stays

  table_.ReleaseOwnedBy(7);
  EXPECT_EQ(releases.load(), 3);

  table_.ReleaseOwnedBy(8);
  ASSERT_EQ(release_log.size(), 5u);
  EXPECT_EQ(release_log[3].object, b1);
  EXPECT_TRUE(release_log[3].cell_was_empty);
  EXPECT_EQ(release_log[4].object, b);
  EXPECT_EQ(table_.environment_count(), 0);
  EXPECT_EQ(table_.file_count(), 0);
}

TEST_F(ObjectTableTest, OwnerIsReadWhenTheSocketCloses) {
  // The server sets the owner only after the environment is in the table.
  TMBEnvironment* env = NewEnv(TMBIO_NO_SOCKET);
  ASSERT_TRUE(table_.AddEnvironment(env, ReleaseEnv));
  table_.ReleaseOwnedBy(TMBIO_NO_SOCKET);
  table_.ReleaseOwnedBy(0);
  table_.ReleaseOwnedBy(5);
  EXPECT_EQ(releases.load(), 0);
  EXPECT_EQ(table_.environment_count(), 1);

  TMBSetEnvironmentOwner(env, 5);
  table_.ReleaseOwnedBy(5);
  EXPECT_EQ(releases.load(), 1);
  EXPECT_EQ(table_.environment_count(), 0);
}

TEST_F(ObjectTableTest, RemoveHandsAnObjectBackExactlyOnce) {
  TMBEnvironment* env = NewEnv(3);
  TMBFile* file = NewFile(env, false);
  ASSERT_TRUE(table_.AddEnvironment(env, ReleaseEnv));
  ASSERT_TRUE(table_.AddFile(file, env, ReleaseFile));

  EXPECT_TRUE(table_.RemoveFile(file));
  EXPECT_FALSE(table_.RemoveFile(file));
  EXPECT_EQ(table_.file_count(), 0);
  EXPECT_EQ(table_.environment_count(), 1);
  std::free(file);

  // Once a socket close has taken the environment, the engine's own
  // removal must learn that it no longer owns it.
  table_.ReleaseOwnedBy(3);
  EXPECT_EQ(releases.load(), 1);
  EXPECT_FALSE(table_.RemoveEnvironment(env));
  EXPECT_EQ(table_.environment_count(), 0);
}

TEST_F(ObjectTableTest, OwnedLookupReadsOnlyEnvironmentsStillInTheTable) {
  TMBEnvironment* env = NewEnv(9);
  TMBFile* file = NewFile(env, false);
  ASSERT_TRUE(table_.AddEnvironment(env, ReleaseEnv));
  ASSERT_TRUE(table_.AddFile(file, env, ReleaseFile));
  EXPECT_EQ(table_.FindOwnedFile(file->id, 9), file);

  // An environment taken out on its own is its remover's to free at once;
  // a file left behind must not lead the lookup into it (the sanitizer
  // build reports the read).
  ASSERT_TRUE(table_.RemoveEnvironment(env));
  std::free(env);
  EXPECT_EQ(table_.FindOwnedFile(file->id, 9), nullptr);
  EXPECT_EQ(table_.FindFile(file->id), file);
  EXPECT_TRUE(table_.RemoveFile(file));
  std::free(file);
}

TEST_F(ObjectTableTest, ConcurrentSessionsReleaseEachObjectOnce) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 100;
  std::atomic<bool> done{false};
  std::atomic<int> self_removed{0};
  std::thread reader([&] {
    while (!done.load()) {
      EXPECT_GE(table_.environment_count(), 0);
      EXPECT_LE(table_.file_count(), kThreads * 2);
    }
  });
  std::vector<std::thread> sessions;
  for (int t = 0; t < kThreads; ++t) {
    sessions.emplace_back([&, t] {
      const uint64_t socket = 100 + static_cast<uint64_t>(t);
      for (int r = 0; r < kRounds; ++r) {
        TMBEnvironment* env = NewEnv(TMBIO_NO_SOCKET);
        ASSERT_TRUE(table_.AddEnvironment(env, ReleaseEnv));
        TMBSetEnvironmentOwner(env, socket);
        TMBFile* f1 = NewFile(env, true);
        TMBFile* f2 = NewFile(env, true);
        ASSERT_TRUE(table_.AddFile(f1, env, ReleaseFile));
        ASSERT_TRUE(table_.AddFile(f2, env, ReleaseFile));
        if (r % 2 == 0 && table_.RemoveFile(f2)) {  // closed by the client
          std::free(f2->server_cell);
          std::free(f2);
          self_removed.fetch_add(1);
        }
        table_.ReleaseOwnedBy(socket);
      }
    });
  }
  for (auto& s : sessions) s.join();
  done = true;
  reader.join();

  EXPECT_EQ(table_.environment_count(), 0);
  EXPECT_EQ(table_.file_count(), 0);
  EXPECT_EQ(releases.load() + self_removed.load(), kThreads * kRounds * 3);
  for (const Released& r : release_log) EXPECT_TRUE(r.cell_was_empty);
}

}  // namespace
