// Environments through the C interface: creation and release, settings,
// transaction states, logon and the socket-close release.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "tests/tmbio/test_util.h"
#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace {

using tmbtest::NewEnv;
using tmbtest::ScratchDir;

const char* kSchema = R"({"record_length": 8, "fields": [{"name": "id", "type": "int", "offset": 0, "length": 4}],
  "keys": [{"name": "by_id", "segments": [{"field": "id"}]}]})";

const char* Text(intptr_t address) { return reinterpret_cast<const char*>(address); }
intptr_t Addr(const char* text) { return reinterpret_cast<intptr_t>(text); }

TEST(Environment, AllocHandsOutALiveZeroFilledEnvironment) {
  const int32_t before = GetNumConnections();
  TMBEnvironment* a = QDK_AllocEnv();
  TMBEnvironment* b = QDK_AllocEnv();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_GT(a->id, 0);
  EXPECT_NE(a->id, b->id);
  EXPECT_EQ(a->object_type, TMBIO_OBJECT_ENVIRONMENT);
  EXPECT_EQ(TMBEnvironmentOwner(a), TMBIO_NO_SOCKET);
  EXPECT_EQ(a->catalog_count, 0);
  EXPECT_EQ(a->logon_text[0], '\0');
  EXPECT_EQ(a->view_library[0], '\0');
  EXPECT_EQ(GetNumConnections(), before + 2);
  EXPECT_EQ(GetLocalEnvironmentById(a->id), a);
  EXPECT_EQ(GetLocalEnvironmentById(b->id), b);
  EXPECT_EQ(GetLocalFileById(a->id), nullptr);  // ids do not cross kinds

  const int32_t id = a->id;
  EXPECT_EQ(QDK_DeAllocEnv(a), 0);
  EXPECT_EQ(GetLocalEnvironmentById(id), nullptr);
  EXPECT_EQ(GetNumConnections(), before + 1);
  EXPECT_EQ(QDK_DeAllocEnv(b), 0);
  EXPECT_EQ(GetNumConnections(), before);
  EXPECT_EQ(QDK_DeAllocEnv(nullptr), TMBIO_INVALID);
}

TEST(Environment, ProcessWideSettingsReturnThePreviousValue) {
  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_GLOBAL_LOCK_WAIT), 50);
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_LOCK_WAIT, 7), 50);
  // New environments wait what the process-wide setting says, in ms.
  TMBEnvironment* env = QDK_AllocEnv();
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOCK_WAIT), 700);
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_LOCK_WAIT, 50), 7);
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_LOCK_WAIT, -1), TMBIO_INVALID);
  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_GLOBAL_LOCK_WAIT), 50);

  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_TRACE, 0), 0);
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_TRACE, 5), TMBIO_INVALID);

  // Text settings hand back a copy of the previous text, or 0.
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME, Addr("first")), 0);
  intptr_t previous = QDSetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME, Addr("second"));
  ASSERT_NE(previous, 0);
  EXPECT_STREQ(Text(previous), "first");
  EXPECT_STREQ(Text(QDGetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME)), "second");
  EXPECT_STREQ(Text(QDSetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME, 0)), "second");
  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME), 0);

  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_MODE_VERSION), TMBIO_LIBRARY_VERSION);
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_MODE_VERSION, 1), TMBIO_UNKNOWN_MODE);
  EXPECT_EQ(QDGetEnvMode(nullptr, 99), TMBIO_UNKNOWN_MODE);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, SettingsOfAnEnvironment) {
  TMBEnvironment* env = QDK_AllocEnv();
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_RECORD), reinterpret_cast<intptr_t>(env));
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOGON_TEXT), reinterpret_cast<intptr_t>(env->logon_text));
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 250), 5000);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOCK_WAIT), 250);
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, 600001), TMBIO_INVALID);
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_LOCK_WAIT, -5), TMBIO_INVALID);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOCK_WAIT), 250);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_IN_TX), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_OPEN_FILES), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_VERSION), TMBIO_LIBRARY_VERSION);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOGGED_ON), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOCKS), 0);
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_READ_ONLY, 1), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_READ_ONLY), 1);
  for (int32_t mode : {6, 7, 12, 16, 17, 18, 19, 25}) {
    std::string value = "value of " + std::to_string(mode);
    EXPECT_EQ(QDSetEnvMode(env, mode, Addr(value.c_str())), 0) << mode;
    value[0] = 'V';  // the library keeps its own copy
    EXPECT_STREQ(Text(QDGetEnvMode(env, mode)), ("value of " + std::to_string(mode)).c_str());
    EXPECT_STREQ(Text(QDSetEnvMode(env, mode, Addr("next"))), ("value of " + std::to_string(mode)).c_str());
  }
  // Get-only and unknown modes refuse a set.
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_IN_TX, 1), TMBIO_UNKNOWN_MODE);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_IN_TX), 0);
  EXPECT_EQ(QDGetEnvMode(env, 14), TMBIO_UNKNOWN_MODE);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, DataDirectoryFollowsCatalogsThenProcessThenCurrent) {
  TMBEnvironment* env = QDK_AllocEnv();
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), ".");
  QDSetEnvMode(nullptr, TMBIO_GLOBAL_DATA_DIR, Addr("/srv/global"));
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), "/srv/global");

  // The server fills the catalogs; text1 of each names its directory.
  env->catalog_count = 3;
  strcpy(env->catalogs[0].name, "first");
  strcpy(env->catalogs[0].text1, "/srv/first");
  strcpy(env->catalogs[1].name, "Sales");
  strcpy(env->catalogs[1].text1, "/srv/sales");
  strcpy(env->catalogs[2].name, "main");
  strcpy(env->catalogs[2].text1, "/srv/main");
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), "/srv/first");
  env->catalogs[2].is_default = 1;
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), "/srv/main");

  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_CATALOG), -1);
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_CATALOG, Addr("SALES")), -1);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_CATALOG), 1);
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), "/srv/sales");
  EXPECT_EQ(QDSetEnvMode(env, TMBIO_ENV_CATALOG, Addr("nowhere")), TMBIO_INVALID);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_CATALOG), 1);

  intptr_t previous = QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, Addr("/srv/own"));
  EXPECT_STREQ(Text(previous), "/srv/sales");
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_DATA_DIR)), "/srv/own");
  QDSetEnvMode(nullptr, TMBIO_GLOBAL_DATA_DIR, 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, TransactionStates) {
  TMBEnvironment* env = QDK_AllocEnv();
  EXPECT_EQ(QDK_CommitTX(env), TMBIO_TX_STATE);
  EXPECT_EQ(QDK_RollbackTX(env), TMBIO_TX_STATE);
  EXPECT_EQ(QDK_BeginTX(env), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_IN_TX), 1);
  EXPECT_EQ(QDK_BeginTX(env), TMBIO_TX_STATE);
  EXPECT_EQ(QDK_CommitTX(env), 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_IN_TX), 0);
  EXPECT_EQ(QDK_BeginTX(env), 0);
  EXPECT_EQ(QDK_RollbackTX(env), 0);
  EXPECT_EQ(QDK_RollbackTX(env), TMBIO_TX_STATE);
  EXPECT_EQ(QDK_BeginTX(nullptr), TMBIO_INVALID);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

struct LogonResult {
  int32_t status;
  int32_t result = 0;
  const uint8_t* blob = nullptr;
  int32_t blob_length = 0;
  char message[256] = {};
};

LogonResult Logon(TMBEnvironment* env, const char* user, const char* password) {
  LogonResult r{};
  int32_t value = 2;
  r.status = QDLogon(env, user, password, "ws1", "en", &value, "tests", &r.blob, &r.blob_length,
                     &r.result, r.message);
  EXPECT_EQ(value, 2);
  return r;
}

TEST(Environment, LogonWithoutUsersAcceptsEveryName) {
  ScratchDir dir;
  TMBEnvironment* env = NewEnv(dir.path());
  LogonResult r = Logon(env, "anna", "whatever");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.result, 2);
  EXPECT_STREQ(env->logon_text, "Welcome anna");
  EXPECT_STREQ(r.message, "Logged on as anna");
  EXPECT_EQ(r.blob, nullptr);
  EXPECT_EQ(r.blob_length, 0);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOGGED_ON), 1);
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_WORKSTATION)), "ws1");
  EXPECT_STREQ(Text(QDGetEnvMode(env, TMBIO_ENV_APP_NAME)), "tests");

  int32_t value = 0, out = 7;
  char message[256] = {};
  EXPECT_EQ(QDLogoff(env, nullptr, nullptr, nullptr, nullptr, &value, &out, message), 0);
  EXPECT_EQ(out, 1);
  EXPECT_STREQ(message, "Logged off");
  EXPECT_EQ(env->logon_text[0], '\0');
  EXPECT_EQ(QDLogoff(env, nullptr, nullptr, nullptr, nullptr, &value, &out, message), 0);
  EXPECT_EQ(out, 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, LogonWithUsersChecksThePasswordAndGuardsOpens) {
  ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "data", kSchema);
  {
    std::ofstream users(dir.File("tmbusers"));
    users << "# users of the test\n"
          << tmbio::MakeUserLine("anna", "s3cret", "role=admin:all", 1000) << "\n"
          << tmbio::MakeUserLine("bob", "pw", "", 1000) << "\n";
  }
  EXPECT_EQ(tmbio::MakeUserLine("a:b", "x", ""), "");
  EXPECT_EQ(tmbio::MakeUserLine("ok", "x", "two\nlines"), "");

  TMBEnvironment* env = NewEnv(dir.path());
  int32_t error = 0;
  EXPECT_EQ(QDK_OpenExt(env, "data", nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, -TMBIO_DENIED);
  int32_t word = 0;
  EXPECT_EQ(QDRequestHandle(env, &word), nullptr);
  EXPECT_EQ(word, -TMBIO_DENIED);

  LogonResult bad = Logon(env, "anna", "wrong");
  EXPECT_EQ(bad.status, TMBIO_DENIED);
  EXPECT_STREQ(bad.message, "Invalid user name or password");
  EXPECT_EQ(bad.result, 0);
  EXPECT_EQ(Logon(env, "nobody", "s3cret").status, TMBIO_DENIED);
  EXPECT_EQ(Logon(env, nullptr, nullptr).status, TMBIO_DENIED);
  EXPECT_EQ(QDK_OpenExt(env, "data", nullptr, 0, 0, &error), nullptr);

  LogonResult good = Logon(env, "ANNA", "s3cret");  // names ignore case
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.result, 2);
  ASSERT_EQ(good.blob_length, 14);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(good.blob), 14), "role=admin:all");
  TMBFile* f = QDK_OpenExt(env, "data", nullptr, 0, 0, &error);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(QDK_close(f), 0);

  // A user without attributes gets no blob; a failed logon ends the old one.
  LogonResult plain = Logon(env, "bob", "pw");
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.blob, nullptr);
  EXPECT_EQ(plain.blob_length, 0);
  EXPECT_EQ(Logon(env, "bob", "nope").status, TMBIO_DENIED);
  EXPECT_EQ(QDGetEnvMode(env, TMBIO_ENV_LOGGED_ON), 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, UsersOfADirectoryGuardItWhateverPathLeadsThere) {
  ScratchDir guarded;
  ScratchDir open;
  tmbtest::MakeFile(guarded.path(), "secret", kSchema);
  {
    std::ofstream users(guarded.File("tmbusers"));
    users << tmbio::MakeUserLine("anna", "s3cret", "", 1000) << "\n";
  }
  // Logged on (without users) in a directory of its own, the environment
  // reaches the guarded file neither by absolute path nor through "..".
  TMBEnvironment* env = NewEnv(open.path());
  EXPECT_EQ(Logon(env, "anna", "anything").status, 0);
  int32_t error = 0;
  const std::string absolute = guarded.File("secret");
  EXPECT_EQ(QDK_OpenExt(env, absolute.c_str(), nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, -TMBIO_DENIED);
  const std::string dotted =
      "../" + std::filesystem::path(guarded.path()).filename().string() + "/secret";
  EXPECT_EQ(QDK_OpenExt(env, dotted.c_str(), nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, -TMBIO_DENIED);
  // Nor through a symbolic link in its own directory: the file is where the
  // link leads, and so are the users that guard it. The SQL tables of its
  // directory leave the link out.
  std::filesystem::create_symlink(absolute + ".tmb", open.File("alias.tmb"));
  EXPECT_EQ(QDK_OpenExt(env, "alias", nullptr, 0, 0, &error), nullptr);
  EXPECT_EQ(error, -TMBIO_DENIED);
  TMBSqlHandle* h = QDRequestHandle(env, &error);
  ASSERT_NE(h, nullptr) << error;
  int32_t tables = -1, columns = -1;
  EXPECT_EQ(QDGetTables(h, nullptr, 0, nullptr, 0, nullptr, 0, 0, &tables, &columns), 0);
  EXPECT_EQ(tables, 0);
  EXPECT_EQ(QDGetColumns(h, nullptr, nullptr, nullptr, nullptr, &columns), 0);
  EXPECT_EQ(columns, 0);

  // A logon checked by that directory's users opens it, by any of its names.
  QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(guarded.path().c_str()));
  EXPECT_EQ(Logon(env, "anna", "s3cret").status, 0);
  QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(open.path().c_str()));
  TMBFile* f = QDK_OpenExt(env, absolute.c_str(), nullptr, 0, 0, &error);
  ASSERT_NE(f, nullptr) << error;
  EXPECT_EQ(QDK_close(f), 0);
  f = QDK_OpenExt(env, "alias", nullptr, 0, 0, &error);
  ASSERT_NE(f, nullptr) << error;
  EXPECT_EQ(QDK_close(f), 0);
  EXPECT_EQ(QDGetTables(h, nullptr, 0, nullptr, 0, nullptr, 0, 0, &tables, &columns), 0);
  EXPECT_EQ(tables, 1);
  EXPECT_EQ(QDFreeHandle(h), 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, SocketCloseReleasesEverythingTheSocketOwns) {
  ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "data", kSchema);
  const int32_t envs = GetNumConnections();
  const int32_t files = GetNumOpenFiles();
  TMBEnvironment* mine = NewEnv(dir.path());
  TMBEnvironment* other = NewEnv(dir.path());
  TMBSetEnvironmentOwner(mine, 41);
  TMBSetEnvironmentOwner(other, 42);
  TMBFile* f1 = tmbtest::Open(mine, "data");
  TMBFile* f2 = tmbtest::Open(mine, "data.tmb");
  TMBFile* f3 = tmbtest::Open(other, "data");
  ASSERT_TRUE(f1 && f2 && f3);
  // The server's read buffer goes with the file (the sanitizer build
  // reports it as leaked otherwise).
  f1->server_cell = std::malloc(100);
  int32_t word = -1;
  TMBSqlHandle* h = QDRequestHandle(mine, &word);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(word, 0);
  EXPECT_EQ(GetLocalSQLSessionById(h->id), h);
  const int32_t f1_id = f1->id, h_id = h->id, mine_id = mine->id;
  EXPECT_EQ(GetNumOpenFiles(), files + 3);
  EXPECT_EQ(QDGetEnvMode(mine, TMBIO_ENV_OPEN_FILES), 2);
  EXPECT_EQ(QDK_BeginTX(mine), 0);

  QD_SocketClosed(41);
  EXPECT_EQ(GetLocalEnvironmentById(mine_id), nullptr);
  EXPECT_EQ(GetLocalFileById(f1_id), nullptr);
  EXPECT_EQ(GetLocalSQLSessionById(h_id), nullptr);
  EXPECT_EQ(GetNumConnections(), envs + 1);
  EXPECT_EQ(GetNumOpenFiles(), files + 1);
  EXPECT_EQ(GetLocalFileById(f3->id), f3);
  EXPECT_EQ(GetOwnedFileById(f1_id, 41), nullptr);
  EXPECT_EQ(GetOwnedFileById(f3->id, 42), f3);
  QD_SocketClosed(41);  // twice: nothing more
  QD_SocketClosed(42);
  EXPECT_EQ(GetNumConnections(), envs);
  EXPECT_EQ(GetNumOpenFiles(), files);
}

TEST(Environment, OwnedLookupsAnswerOnlyTheOwner) {
  ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "data", kSchema);
  TMBEnvironment* env = NewEnv(dir.path());
  ASSERT_NE(env, nullptr);
  // Between QDK_AllocEnv and the server recording the owner, no connection
  // reaches the environment, not even through the "no socket" value.
  EXPECT_EQ(GetOwnedEnvironmentById(env->id, 0), nullptr);
  EXPECT_EQ(GetOwnedEnvironmentById(env->id, TMBIO_NO_SOCKET), nullptr);
  TMBSetEnvironmentOwner(env, 61);
  TMBFile* f = tmbtest::Open(env, "data");
  int32_t word = -1;
  TMBSqlHandle* h = QDRequestHandle(env, &word);
  ASSERT_TRUE(f && h);

  EXPECT_EQ(GetOwnedEnvironmentById(env->id, 61), env);
  EXPECT_EQ(GetOwnedFileById(f->id, 61), f);
  EXPECT_EQ(GetOwnedSQLSessionById(h->id, 61), h);
  for (uint64_t other : {uint64_t{0}, uint64_t{62}, TMBIO_NO_SOCKET}) {
    EXPECT_EQ(GetOwnedEnvironmentById(env->id, other), nullptr) << other;
    EXPECT_EQ(GetOwnedFileById(f->id, other), nullptr) << other;
    EXPECT_EQ(GetOwnedSQLSessionById(h->id, other), nullptr) << other;
  }
  // An id names one kind of object only.
  EXPECT_EQ(GetOwnedEnvironmentById(f->id, 61), nullptr);
  EXPECT_EQ(GetOwnedFileById(h->id, 61), nullptr);
  EXPECT_EQ(GetOwnedSQLSessionById(env->id, 61), nullptr);
  for (int32_t unknown : {0, -1, INT32_MIN}) {
    EXPECT_EQ(GetOwnedEnvironmentById(unknown, 61), nullptr);
    EXPECT_EQ(GetOwnedFileById(unknown, 61), nullptr);
    EXPECT_EQ(GetOwnedSQLSessionById(unknown, 61), nullptr);
  }

  const int32_t env_id = env->id, f_id = f->id, h_id = h->id;
  EXPECT_EQ(QDK_close(f), 0);
  EXPECT_EQ(QDFreeHandle(h), 0);
  EXPECT_EQ(GetOwnedFileById(f_id, 61), nullptr);
  EXPECT_EQ(GetOwnedSQLSessionById(h_id, 61), nullptr);
  EXPECT_EQ(GetOwnedEnvironmentById(env_id, 61), env);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
  EXPECT_EQ(GetOwnedEnvironmentById(env_id, 61), nullptr);
}

TEST(Environment, OwnedLookupsNeverReachWhatAnotherConnectionIsClosing) {
  // Two connections as the server runs them. One opens its environment, a
  // file and an SQL handle and lets them go again in each way a session
  // does; the other names those ids all the while. It must be refused every
  // time, and the refusal must not read what the closing thread frees (the
  // sanitizer builds report such a read).
  ScratchDir dir;
  tmbtest::MakeFile(dir.path(), "data", kSchema);
  constexpr uint64_t kCloser = 71;
  constexpr uint64_t kPeer = 72;
  constexpr int kRounds = 150;
  std::atomic<int32_t> env_id{0}, file_id{0}, sql_id{0};
  std::atomic<int> published{0};  // rounds whose ids are out
  std::atomic<int> asked{0};      // rounds whose ids the peer has named
  std::atomic<bool> done{false};
  std::atomic<int> reached{0};    // the peer got the closer's object
  std::atomic<int> failures{0};

  std::thread peer([&] {
    TMBEnvironment* mine = NewEnv(dir.path());
    TMBSetEnvironmentOwner(mine, kPeer);
    TMBFile* own = tmbtest::Open(mine, "data");
    while (!done.load()) {
      const int round = published.load();
      if (GetOwnedEnvironmentById(env_id.load(), kPeer) != nullptr) ++reached;
      if (GetOwnedFileById(file_id.load(), kPeer) != nullptr) ++reached;
      if (GetOwnedSQLSessionById(sql_id.load(), kPeer) != nullptr) ++reached;
      // Its own objects stay its own throughout.
      if (own == nullptr || GetOwnedFileById(own->id, kPeer) != own) ++failures;
      asked.store(round);
    }
    QD_SocketClosed(kPeer);
  });

  for (int round = 1; round <= kRounds; ++round) {
    TMBEnvironment* env = NewEnv(dir.path());
    TMBSetEnvironmentOwner(env, kCloser);
    TMBFile* f = tmbtest::Open(env, "data");
    int32_t word = -1;
    TMBSqlHandle* h = QDRequestHandle(env, &word);
    if (f == nullptr || h == nullptr) {
      ++failures;
      QD_SocketClosed(kCloser);
      continue;
    }
    // Read back by the library on close: the server's buffer travels with it.
    f->server_cell = std::malloc(32);
    env_id = env->id;
    file_id = f->id;
    sql_id = h->id;
    published = round;
    // The peer names the live objects at least once before they go, then
    // keeps naming them while they go.
    while (asked.load() < round) std::this_thread::yield();
    if (GetOwnedFileById(f->id, kCloser) != f) ++failures;
    const int32_t closed_file = f->id;
    switch (round % 3) {
      case 0:  // the client closes the file, frees the handle, releases the environment
        std::free(f->server_cell);
        f->server_cell = nullptr;
        if (QDK_close(f) != 0 || QDFreeHandle(h) != 0 || QDK_DeAllocEnv(env) != 0) ++failures;
        break;
      case 1:  // the client releases the environment with everything in it
        if (QDK_DeAllocEnv(env) != 0) ++failures;
        break;
      default:  // the connection drops
        QD_SocketClosed(kCloser);
        break;
    }
    if (GetOwnedFileById(closed_file, kCloser) != nullptr) ++failures;
  }
  done = true;
  peer.join();
  EXPECT_EQ(reached.load(), 0);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(asked.load(), kRounds);
}

TEST(Environment, SqlHandlesStopAtTheLimit) {
  ScratchDir dir;
  TMBEnvironment* env = NewEnv(dir.path());
  std::vector<TMBSqlHandle*> handles;
  int32_t word = -1;
  for (int i = 0; i < TMBIO_MAX_SQL_HANDLES; ++i) {
    handles.push_back(QDRequestHandle(env, &word));
    ASSERT_NE(handles.back(), nullptr);
  }
  EXPECT_EQ(QDRequestHandle(env, &word), nullptr);
  EXPECT_EQ(word, 16);
  EXPECT_EQ(QDFreeHandle(handles.back()), 0);
  handles.pop_back();
  EXPECT_NE(QDRequestHandle(env, &word), nullptr);  // freed by the release below
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, OwnedTransactionsCountsOnlyTheSocketsOpenOnes) {
  TMBEnvironment* env = QDK_AllocEnv();
  TMBEnvironment* other = QDK_AllocEnv();
  TMBSetEnvironmentOwner(env, 41);
  TMBSetEnvironmentOwner(other, 42);
  EXPECT_EQ(GetNumOwnedTransactions(41), 0);
  EXPECT_EQ(QDK_BeginTX(env), 0);
  EXPECT_EQ(QDK_BeginTX(other), 0);
  EXPECT_EQ(GetNumOwnedTransactions(41), 1);
  EXPECT_EQ(GetNumOwnedTransactions(TMBIO_NO_SOCKET), 0);
  EXPECT_EQ(QDK_CommitTX(env), 0);
  EXPECT_EQ(GetNumOwnedTransactions(41), 0);
  EXPECT_EQ(GetNumOwnedTransactions(42), 1);
  // Two of one socket count twice; one freed inside its transaction (rolled
  // back with it) and one whose socket closed under it count no more.
  TMBEnvironment* third = QDK_AllocEnv();
  TMBSetEnvironmentOwner(third, 42);
  EXPECT_EQ(QDK_BeginTX(third), 0);
  EXPECT_EQ(GetNumOwnedTransactions(42), 2);
  EXPECT_EQ(QDK_DeAllocEnv(third), 0);
  EXPECT_EQ(GetNumOwnedTransactions(42), 1);
  QD_SocketClosed(42);
  EXPECT_EQ(GetNumOwnedTransactions(42), 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

TEST(Environment, TraceWritesALinePerCall) {
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME, Addr("tracer")), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(QDSetEnvMode(nullptr, TMBIO_GLOBAL_TRACE, 1), 0);
  TMBEnvironment* env = QDK_AllocEnv();
  QDK_BeginTX(env);
  // A client's user name: its control bytes must not reach the log raw.
  Logon(env, "eve) = 0\ntmbio tracer: forged\x01\x7f", "x");
  QDSetEnvMode(nullptr, TMBIO_GLOBAL_TRACE, 0);
  QDK_RollbackTX(env);  // not traced any more
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("tmbio tracer: QDK_AllocEnv() = " + std::to_string(env->id)), std::string::npos) << err;
  EXPECT_NE(err.find("QDK_BeginTX(" + std::to_string(env->id) + ") = 0"), std::string::npos) << err;
  EXPECT_EQ(err.find("QDK_RollbackTX"), std::string::npos) << err;
  EXPECT_NE(err.find("eve) = 0\\ntmbio tracer: forged\\x01\\x7F"), std::string::npos) << err;
  EXPECT_EQ(err.find("\ntmbio tracer: forged"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;  // trace on, AllocEnv, BeginTX, Logon
  QDSetEnvMode(nullptr, TMBIO_GLOBAL_APP_NAME, 0);
  EXPECT_EQ(QDK_DeAllocEnv(env), 0);
}

}  // namespace
