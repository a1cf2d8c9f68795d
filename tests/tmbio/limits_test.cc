// What a client cannot push the library into: a write-ahead log that grows
// while a reader stays quiet between calls, and an open that a process out
// of file descriptors reports as a bad file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/tmbio/test_util.h"
#include "tmbio/tmbio.h"

namespace {

using tmbtest::Record;

// id int4 @0 (unique), a char40 @4, b char40 @44, c int4 @84; 96 bytes. An
// update that changes a, b and c moves the record in every key.
const char* kSchema = R"({
  "record_length": 96,
  "fields": [
    {"name": "id", "type": "int", "offset": 0, "length": 4},
    {"name": "a", "type": "char", "offset": 4, "length": 40},
    {"name": "b", "type": "char", "offset": 44, "length": 40},
    {"name": "c", "type": "int", "offset": 84, "length": 4}
  ],
  "keys": [
    {"name": "by_id", "segments": [{"field": "id"}]},
    {"name": "by_a", "unique": false, "segments": [{"field": "a"}]},
    {"name": "by_b", "unique": false, "segments": [{"field": "b"}]},
    {"name": "by_c", "unique": false, "segments": [{"field": "c"}]}
  ]})";

Record Row(int32_t id, int32_t version) {
  Record r(96);
  const std::string v = std::to_string(version);
  r.Int(0, id, 4).Text(4, "a" + v + "-" + std::to_string(id), 40).Text(44, v + "b", 40);
  r.Int(84, version * 7919 % 100003, 4);
  return r;
}

int32_t IdOf(const uint8_t* record) { return static_cast<int32_t>(tmbtest::ReadInt(record, 4)); }

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmbtest::MakeFile(dir_.path(), "limits", kSchema);
    env_ = tmbtest::NewEnv(dir_.path());
    file_ = tmbtest::Open(env_, "limits");
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(QDK_DeAllocEnv(env_), 0);
    EXPECT_EQ(tmbtest::Problems(dir_.File("limits.tmb")), "");
  }

  int32_t Insert(TMBFile* f, const Record& r) {
    return QDK_ExtWrite(f, r.data(), r.size(), nullptr, 0, TMBIO_WRITE_INSERT, 0);
  }

  tmbtest::ScratchDir dir_;
  TMBEnvironment* env_ = nullptr;
  TMBFile* file_ = nullptr;
};

// The log of a file that one environment keeps writing while another has
// read a record and gone quiet: the reader holds nothing between calls, so
// checkpoints reach every frame and the log is reused from its start.
TEST_F(LimitsTest, AQuietReaderDoesNotHoldTheLogOpen) {
  constexpr int32_t kRecords = 100;
  constexpr int32_t kUpdates = 1000;
  // The checkpoint is due every thousand pages of 4 KiB, and one update here
  // is a few pages: a log that is reused from its start stays below this.
  // Held open by the reader, it would grow past 25 MiB.
  constexpr off_t kLogBound = 6 * 1024 * 1024;
  ASSERT_EQ(QDK_BeginTX(env_), 0);
  for (int32_t id = 1; id <= kRecords; ++id) ASSERT_GT(Insert(file_, Row(id, 0)), 0);
  ASSERT_EQ(QDK_CommitTX(env_), 0);

  TMBEnvironment* reader_env = tmbtest::NewEnv(dir_.path());
  TMBFile* reader = tmbtest::Open(reader_env, "limits");
  ASSERT_NE(reader, nullptr);
  uint8_t buf[96];
  ASSERT_EQ(QDK_read(reader, buf, sizeof buf, TMBIO_READ_FIRST), 96);
  ASSERT_EQ(IdOf(buf), 1);

  for (int32_t i = 0; i < kUpdates; ++i) {
    const int32_t id = i % kRecords + 1;
    Record r = Row(id, i + 1);
    ASSERT_GT(QDK_ExtWrite(file_, r.data(), r.size(), r.data(), 4, TMBIO_WRITE_UPDATE_KEY, 0), 0)
        << i;
  }
  struct stat st{};
  ASSERT_EQ(stat(dir_.File("limits.tmb-wal").c_str(), &st), 0);
  EXPECT_LT(st.st_size, kLogBound) << "write-ahead log of " << st.st_size << " bytes";

  // The reader goes on from where it was, and sees the updates.
  ASSERT_EQ(QDK_read(reader, buf, sizeof buf, TMBIO_READ_NEXT), 96);
  EXPECT_EQ(IdOf(buf), 2);
  EXPECT_EQ(tmbtest::ReadText(buf + 44, 40), std::to_string(kUpdates - kRecords + 2) + "b");
  ASSERT_EQ(QDK_read(reader, buf, sizeof buf, TMBIO_READ_PREVIOUS), 96);
  EXPECT_EQ(IdOf(buf), 1);
  EXPECT_EQ(QDK_DeAllocEnv(reader_env), 0);
}

// Opens `name` in a forked child whose descriptor limit leaves about `spare`
// descriptors free, its standard error going to `log`. Returns the open's
// error word (0 when it opened), or -1 when the child did not get as far.
int32_t OpenWithSpareDescriptors(const std::string& dir, const char* name, int spare,
                                 const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0 || dup2(err, 2) < 0) _exit(255);
    close(err);
    const int lowest = open("/dev/null", O_RDONLY);  // the lowest free number
    if (lowest < 0) _exit(255);
    close(lowest);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(255);
    limit.rlim_cur = static_cast<rlim_t>(lowest + spare);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(255);
    TMBEnvironment* env = QDK_AllocEnv();
    if (env == nullptr) _exit(255);
    QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(dir.c_str()));
    int32_t error = -1;
    TMBFile* f = QDK_OpenExt(env, name, nullptr, 0, 0, &error);
    _exit(f != nullptr ? 0 : error & 0xff);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255) {
    return -1;
  }
  return WEXITSTATUS(status);
}

TEST_F(LimitsTest, RunningOutOfDescriptorsIsALimitAndIsLogged) {
  ASSERT_GT(Insert(file_, Row(1, 0)), 0);
  // From no spare descriptor up: the main file, then its log and its
  // shared-memory index each need one. Every open that fails for want of
  // one says so, and one with enough opens.
  int failures = 0;
  int32_t word = -1;
  for (int spare = 0; spare <= 16; ++spare) {
    const std::string log = dir_.File("stderr-" + std::to_string(spare));
    word = OpenWithSpareDescriptors(dir_.path(), "limits", spare, log);
    ASSERT_NE(word, -1) << "child with " << spare << " spare descriptors";
    if (word == 0) break;
    ++failures;
    EXPECT_EQ(word, -TMBIO_LIMIT) << "with " << spare << " spare descriptors";
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("file descriptors"), std::string::npos)
        << "with " << spare << " spare descriptors the log says: " << text.str();
  }
  EXPECT_EQ(word, 0) << "no open succeeded";
  EXPECT_GE(failures, 2);
}

}  // namespace
