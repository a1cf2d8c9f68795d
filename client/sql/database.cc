#include "client/sql/database.h"

#include <sqlite3.h>

#include "client/session_calls.h"
#include "client/sql/module.h"
#include "client/sql/session.h"
#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

// IdentifyClient's answers: refusals, and the access bits of the first
// resource.
constexpr int16_t kNoFreeSlot = -2;
constexpr int16_t kNoAccessEntry = -3;
constexpr int16_t kReadFirst = 0x001;
constexpr int16_t kWriteFirst = 0x002;

class DatabaseImpl : public Database {
 public:
  ~DatabaseImpl() override {
    // Statements left open would keep cursors on the session's files:
    // they end first, the files and the environment after.
    if (db_ == nullptr) return;
    while (sqlite3_stmt* stmt = sqlite3_next_stmt(db_, nullptr)) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }

  bool Start(const Target& target, std::string* error) {
    Client& c = session_.client();
    if (!c.Connect(target.host, target.port, target.tls, error)) return false;
    bool zlib = false;
    if (!OpenWithCompression(c, target.compression, &zlib, error)) return false;
    if (!target.identity.empty() && !Identify(target, error)) return false;
    int32_t env = 0;
    if (!CallAllocEnv(c, &env, error)) return false;
    if (env == 0) {
      *error = "the server could not create an environment";
      return false;
    }
    session_.set_env(env);
    if (target.lock_timeout_ms >= 0) {
      int32_t previous = 0;
      if (!CallSetEnvNumber(c, env, TMBIO_ENV_LOCK_WAIT, target.lock_timeout_ms, &previous,
                            error)) {
        return false;
      }
      if (previous < 0) {
        *error = "the server refuses a lock wait of " + std::to_string(target.lock_timeout_ms) +
                 " ms (" + std::to_string(previous) + ")";
        return false;
      }
    }
    if (!target.user.empty()) {
      int32_t status = 0;
      if (!CallLogon(c, env, target.user, target.password, &status, error)) return false;
      if (status != 0) {
        *error = status == TMBIO_DENIED ? "logon refused: invalid user name or password"
                                        : "logon refused (" + std::to_string(status) + ")";
        return false;
      }
    }
    if (!target.catalog.empty() && target.catalog != "default") {
      int32_t result = 0;
      if (!CallSetEnvText(c, env, TMBIO_ENV_CATALOG, target.catalog, &result, error)) return false;
      if (result == TMBIO_INVALID) {
        *error = "no catalog named \"" + target.catalog + "\" (names are compared ignoring case)";
        return false;
      }
      if (result < -1) {
        *error = "the server refuses the catalog \"" + target.catalog + "\" (" +
                 std::to_string(result) + ")";
        return false;
      }
    }
    if (!session_.Load(error)) return false;
    for (const TableLayout& t : session_.tables()) tables_.push_back(t.table);
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      *error = db_ != nullptr ? sqlite3_errmsg(db_) : "cannot open an SQLite connection";
      return false;
    }
    return DeclareTables(db_, &session_, error);
  }

  sqlite3* handle() override { return db_; }

  // Says who the client is; the access entry that applies decides whether
  // it may read and write the catalog (its first resource).
  bool Identify(const Target& target, std::string* error) {
    IdentifyRequest who;
    const size_t slash = target.identity.find('/');
    who.identity1 = target.identity.substr(0, slash);
    if (slash != std::string::npos) who.identity2 = target.identity.substr(slash + 1);
    if (target.catalog != "default") who.resource1 = target.catalog;
    who.client_name = "tmb sql";
    int16_t code = 0;
    if (!CallIdentifyClient(session_.client(), who, &code, error)) return false;
    if (code == kNoFreeSlot) {
      *error = "the server has no free client slot for \"" + who.client_name + "\"";
      return false;
    }
    if (code == kNoAccessEntry) {
      *error = "no access entry of the server applies to " + target.identity;
      return false;
    }
    if ((code & kReadFirst) == 0) {
      *error = target.identity + " may not read the catalog \"" + target.catalog + "\"";
      return false;
    }
    session_.set_writable((code & kWriteFirst) != 0);
    return true;
  }

  const std::vector<Table>& tables() const override { return tables_; }
  uint64_t requests(uint8_t opcode) const override {
    return const_cast<Session&>(session_).client().sent(opcode);
  }
  uint64_t requests() const override { return const_cast<Session&>(session_).client().sent(); }

 private:
  Session session_;
  sqlite3* db_ = nullptr;
  std::vector<Table> tables_;
};

}  // namespace

std::unique_ptr<Database> Database::Open(const Target& target, std::string* error) {
  auto db = std::make_unique<DatabaseImpl>();
  if (!db->Start(target, error)) return nullptr;
  return db;
}

}  // namespace tmb::sql
