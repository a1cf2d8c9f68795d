#include "environment.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "commit_log.h"
#include "guard.h"
#include "locks.h"
#include "real_path.h"
#include "settings.h"
#include "users.h"

namespace tmbio {
namespace {

// The directory as the file system names it (symbolic links and ".."
// resolved), so two spellings of one directory compare equal.
std::string CanonicalDirectory(const std::string& dir) {
  std::string result;
  return RealPath(dir.empty() ? "." : dir, &result) ? result : dir;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace


namespace {

constexpr int32_t kMaxLockWaitMs = 600000;

bool IsTextMode(int32_t mode) {
  switch (mode) {
    case TMBIO_ENV_APP_NAME:
    case TMBIO_ENV_USER_NAME:
    case TMBIO_ENV_WORK_DIR:
    case TMBIO_ENV_WORKSTATION:
    case TMBIO_ENV_LANGUAGE:
    case TMBIO_ENV_DATE_FORMAT:
    case TMBIO_ENV_NUMBER_FORMAT:
    case TMBIO_ENV_COMMENT:
      return true;
    default:
      return false;
  }
}

// A catalog's text field, which the server fills from the registry and
// which need not be terminated within its bytes.
std::string Field(const char* p, size_t n) { return std::string(p, strnlen(p, n)); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

void PutMessage(char* message, const std::string& text) {
  if (message != nullptr) snprintf(message, 256, "%s", text.c_str());
}

thread_local std::string data_dir_view;

}  // namespace

Environment::Environment() : pub_(new TMBEnvironment()), lock_wait_ms_(DefaultLockWaitMs()) {
  pub_->object_type = TMBIO_OBJECT_ENVIRONMENT;
  TMBSetEnvironmentOwner(pub_.get(), TMBIO_NO_SOCKET);
  pub_->engine = this;
}

namespace {

// Open transactions by the socket that owned their environment when they
// began; `any` lets the common answer (none anywhere) skip the lock.
struct TransactionCounts {
  std::atomic<int64_t> any{0};
  std::mutex mu;
  std::unordered_map<uint64_t, int32_t> by_socket;  // guarded by mu; no zero entries
};

TransactionCounts& Counts() {
  static TransactionCounts* counts = new TransactionCounts();  // outlives every environment
  return *counts;
}

}  // namespace

int32_t Environment::TransactionsOf(uint64_t socket) {
  TransactionCounts& counts = Counts();
  if (socket == TMBIO_NO_SOCKET || counts.any.load() == 0) return 0;
  std::lock_guard<std::mutex> lock(counts.mu);
  auto it = counts.by_socket.find(socket);
  return it == counts.by_socket.end() ? 0 : it->second;
}

void Environment::SetInTx(bool on) {
  if (on == in_tx_) return;
  TransactionCounts& counts = Counts();
  std::lock_guard<std::mutex> lock(counts.mu);
  if (on) {
    tx_socket_ = TMBEnvironmentOwner(pub_.get());
    ++counts.by_socket[tx_socket_];
    counts.any.fetch_add(1);
  } else {
    auto it = counts.by_socket.find(tx_socket_);
    if (it != counts.by_socket.end() && --it->second == 0) counts.by_socket.erase(it);
    counts.any.fetch_sub(1);
  }
  in_tx_ = on;
  marked_ = false;
}

Environment::~Environment() {
  if (in_tx_) {
    for (auto& c : connections_) c->Rollback();
    SetInTx(false);
  }
  locks::UnlockEnvironment(this);
  pub_->engine = nullptr;
  pub_->object_type = 0;
}

Environment* Environment::Of(TMBEnvironment* env) {
  if (env == nullptr || env->object_type != TMBIO_OBJECT_ENVIRONMENT) return nullptr;
  return static_cast<Environment*>(env->engine);
}

std::string Environment::DataDir() const {
  if (!data_dir_.empty()) return data_dir_;
  int32_t n = std::clamp(pub_->catalog_count, 0, TMBIO_MAX_CATALOGS);
  for (int32_t i = 0; i < n; ++i) {
    const TMBCatalogEntry& c = pub_->catalogs[i];
    if (c.is_default != 0 && c.text1[0] != '\0') return Field(c.text1, sizeof c.text1);
  }
  if (n > 0 && pub_->catalogs[0].text1[0] != '\0') {
    return Field(pub_->catalogs[0].text1, sizeof pub_->catalogs[0].text1);
  }
  std::string global = GlobalDataDir();
  return global.empty() ? std::string(".") : global;
}

std::string Environment::CatalogName() const {
  int32_t n = std::clamp(pub_->catalog_count, 0, TMBIO_MAX_CATALOGS);
  if (catalog_index_ >= 0 && catalog_index_ < n) {
    return Field(pub_->catalogs[catalog_index_].name, sizeof pub_->catalogs[0].name);
  }
  for (int32_t i = 0; i < n; ++i) {
    if (pub_->catalogs[i].is_default != 0) return Field(pub_->catalogs[i].name, 256);
  }
  return n > 0 ? Field(pub_->catalogs[0].name, 256) : std::string();
}

std::string Environment::ViewLibrary() const {
  return Field(pub_->view_library, sizeof pub_->view_library);
}

std::string* Environment::TextSlot(int32_t mode) { return &texts_[mode]; }

intptr_t Environment::GetMode(int32_t mode) {
  if (IsTextMode(mode)) {
    const std::string& t = *TextSlot(mode);
    return t.empty() ? 0 : reinterpret_cast<intptr_t>(t.c_str());
  }
  switch (mode) {
    case TMBIO_ENV_RECORD:
      return reinterpret_cast<intptr_t>(pub_.get());
    case TMBIO_ENV_LOGON_TEXT:
      return reinterpret_cast<intptr_t>(pub_->logon_text);
    case TMBIO_ENV_LOCK_WAIT:
      return lock_wait_ms_;
    case TMBIO_ENV_IN_TX:
      return in_tx_ ? 1 : 0;
    case TMBIO_ENV_STATEMENT:
      return marked_ ? 1 : 0;
    case TMBIO_ENV_OPEN_FILES:
      return static_cast<intptr_t>(files_.size());
    case TMBIO_ENV_DATA_DIR:
      data_dir_view = DataDir();
      return reinterpret_cast<intptr_t>(data_dir_view.c_str());
    case TMBIO_ENV_READ_ONLY:
      return read_only_ ? 1 : 0;
    case TMBIO_ENV_VERSION:
      return TMBIO_LIBRARY_VERSION;
    case TMBIO_ENV_LOGGED_ON:
      return logged_on_ ? 1 : 0;
    case TMBIO_ENV_LOCKS:
      return locks::Count(this);
    case TMBIO_ENV_CATALOG:
      return catalog_index_;
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

intptr_t Environment::SetMode(int32_t mode, intptr_t value) {
  auto previous_text = [](const std::string& t) -> intptr_t {
    return t.empty() ? 0 : reinterpret_cast<intptr_t>(ThreadText(t));
  };
  if (IsTextMode(mode)) {
    std::string* slot = TextSlot(mode);
    intptr_t previous = previous_text(*slot);
    *slot = SettingText(value);
    return previous;
  }
  switch (mode) {
    case TMBIO_ENV_LOCK_WAIT: {
      if (value < 0 || value > kMaxLockWaitMs) return TMBIO_INVALID;
      intptr_t previous = lock_wait_ms_;
      lock_wait_ms_ = static_cast<int32_t>(value);
      for (auto& c : connections_) c->SetLockWait(lock_wait_ms_);
      return previous;
    }
    case TMBIO_ENV_STATEMENT:
      return StatementMark(value);
    case TMBIO_ENV_READ_ONLY: {
      intptr_t previous = read_only_ ? 1 : 0;
      read_only_ = value != 0;
      return previous;
    }
    case TMBIO_ENV_DATA_DIR: {
      intptr_t previous = previous_text(DataDir());
      data_dir_ = SettingText(value);
      return previous;
    }
    case TMBIO_ENV_CATALOG: {
      std::string name = SettingText(value);
      int32_t n = std::clamp(pub_->catalog_count, 0, TMBIO_MAX_CATALOGS);
      for (int32_t i = 0; i < n; ++i) {
        const TMBCatalogEntry& c = pub_->catalogs[i];
        if (SameIgnoringCase(Field(c.name, sizeof c.name), name)) {
          intptr_t previous = catalog_index_;
          catalog_index_ = i;
          data_dir_ = Field(c.text1, sizeof c.text1);
          return previous;
        }
      }
      return TMBIO_INVALID;
    }
    default:
      return TMBIO_UNKNOWN_MODE;
  }
}

int32_t Environment::Logon(const char* user, const char* password, const char* workstation,
                           const char* language, const char* application, const uint8_t** blob,
                           int32_t* blob_length, int32_t* result, char* message) {
  // A new logon replaces the old one, and a failed one leaves none.
  logged_on_ = false;
  user_.clear();
  logon_blob_.clear();
  memset(pub_->logon_text, 0, sizeof pub_->logon_text);
  if (blob != nullptr) *blob = nullptr;
  if (blob_length != nullptr) *blob_length = 0;
  if (workstation != nullptr) texts_[TMBIO_ENV_WORKSTATION] = SettingText(reinterpret_cast<intptr_t>(workstation));
  if (language != nullptr) texts_[TMBIO_ENV_LANGUAGE] = SettingText(reinterpret_cast<intptr_t>(language));
  if (application != nullptr) texts_[TMBIO_ENV_APP_NAME] = SettingText(reinterpret_cast<intptr_t>(application));
  std::string name = SettingText(reinterpret_cast<intptr_t>(user));
  std::string attributes;
  if (UsersDefined(DataDir())) {
    std::string pass = SettingText(reinterpret_cast<intptr_t>(password));
    if (!CheckUser(DataDir(), name, pass, &attributes)) {
      PutMessage(message, "Invalid user name or password");
      return TMBIO_DENIED;
    }
  }
  logged_on_ = true;
  logon_dir_ = CanonicalDirectory(DataDir());
  user_ = name;
  logon_blob_ = attributes;
  snprintf(pub_->logon_text, sizeof pub_->logon_text, "Welcome %s", name.c_str());
  PutMessage(message, "Logged on as " + name);
  if (!logon_blob_.empty() && blob != nullptr && blob_length != nullptr) {
    *blob = reinterpret_cast<const uint8_t*>(logon_blob_.data());
    *blob_length = static_cast<int32_t>(logon_blob_.size());
  }
  if (result != nullptr) *result = 2;
  return 0;
}

bool Environment::MayUseDirectory(const std::string& dir) const {
  if (ToolAccess() || !UsersDefined(dir)) return true;
  return logged_on_ && CanonicalDirectory(dir) == logon_dir_;
}

int32_t Environment::MayUseFile(const std::string& path, std::string* real) const {
  // The name's own directory first: a file missing from a guarded
  // directory is refused, as any file there, without telling it is missing.
  if (!MayUseDirectory(DirectoryOf(path))) return TMBIO_DENIED;
  if (!RealPath(path, real)) {
    switch (errno) {
      case EACCES:
        return TMBIO_DENIED;
      case ENOMEM:
        return TMBIO_NO_MEMORY;
      case EIO:
        return TMBIO_IO_ERROR;
      default:  // missing, a loop, too long, not a directory on the way
        return TMBIO_NO_FILE;
    }
  }
  return MayUseDirectory(DirectoryOf(*real)) ? 0 : TMBIO_DENIED;
}

int32_t Environment::Logoff(int32_t* out, char* message) {
  if (out != nullptr) *out = logged_on_ ? 1 : 0;
  logged_on_ = false;
  user_.clear();
  memset(pub_->logon_text, 0, sizeof pub_->logon_text);
  PutMessage(message, "Logged off");
  return 0;
}

int32_t Environment::StatementMark(intptr_t what) {
  if (what != TMBIO_STATEMENT_MARK && what != TMBIO_STATEMENT_UNDO &&
      what != TMBIO_STATEMENT_RELEASE) {
    return TMBIO_INVALID;
  }
  if (!in_tx_ || (what == TMBIO_STATEMENT_UNDO && !marked_)) return TMBIO_TX_STATE;
  int32_t status = 0;
  if (what == TMBIO_STATEMENT_MARK) {
    for (auto& c : connections_) {
      status = c->Mark();
      if (status != 0) break;
    }
    // Half a mark would undo the files it missed whole: none at all, and
    // the caller runs no statement it could not take back.
    if (status != 0) {
      for (auto& c : connections_) c->ReleaseMark();
    }
    marked_ = status == 0;
    return status;
  }
  for (auto& c : connections_) {
    const int32_t s =
        what == TMBIO_STATEMENT_UNDO ? c->UndoToMark() : c->ReleaseMark();
    if (status == 0) status = s;
  }
  marked_ = false;
  return status;
}

int32_t Environment::BeginTx() {
  if (in_tx_) return TMBIO_TX_STATE;
  SetInTx(true);
  return 0;
}

int32_t Environment::CommitTx() {
  if (!in_tx_) return TMBIO_TX_STATE;
  std::vector<Connection*> written;
  int32_t status = Guard([&] {
    for (auto& c : connections_) {
      if (c->in_tx()) written.push_back(c.get());
    }
    return 0;
  });
  if (status != 0) {
    // Memory ran out before anything was committed: the transaction ends
    // rolled back, as any commit that fails before its commit point.
    for (auto& c : connections_) c->Rollback();
  } else {
    status = written.size() > 1 ? CommitAcross(written)
             : written.empty()  ? 0
                                : written.front()->Commit();
  }
  SetInTx(false);
  locks::UnlockEnvironment(this);
  DropIdleConnections();
  return status;
}

// Every file stays reserved for this transaction until its own commit, so
// the changes recorded against it are exactly what a recovery after a crash
// applies them to: they cannot conflict.
int32_t Environment::CommitAcross(const std::vector<Connection*>& written) {
  static std::atomic<int64_t> commits{0};
  const int64_t number = ++commits;
  std::vector<CommitPart> parts;
  const int64_t txid = NewTxId();
  // Up to the commit point a failure, memory running out included, rolls
  // every file back: nothing is committed.
  int32_t status = Guard([&] {
    parts.resize(written.size());
    int32_t st = 0;
    for (size_t i = 0; st == 0 && i < written.size(); ++i) {
      if (!RealPath(written[i]->path(), &parts[i].path)) return TMBIO_IO_ERROR;
      parts[i].id = written[i]->id();
      st = written[i]->Changeset(&parts[i].changeset);
    }
    return st != 0 ? st : WriteCommitRecord(txid, parts);
  });
  if (status != 0) {
    for (Connection* c : written) c->Rollback();
    return status;
  }
  // Committed. A file whose commit fails now is brought up to the record
  // at once, as every open does; failing that too, before its next write
  // or at its next open, from the record left in place.
  TestKillPoint(0);
  bool complete = true;
  const bool trim = number % 64 == 0;
  for (size_t i = 0; i < written.size(); ++i) {
    Connection& c = *written[i];
    int32_t s = c.CommitPart(txid, trim);
    if (s != 0) s = c.ApplyMissingPart(lock_wait_ms_);
    if (s != 0) {
      complete = false;
      if (status == 0) status = s;
    }
    TestKillPoint(static_cast<int>(i + 1));
  }
  if (complete) Guard([&] { DropCommitRecord(txid, parts); return 0; });
  return status;
}

int32_t Environment::RollbackTx() {
  if (!in_tx_) return TMBIO_TX_STATE;
  int32_t status = 0;
  for (auto& c : connections_) {
    int32_t s = c->Rollback();
    if (status == 0) status = s;
  }
  SetInTx(false);
  locks::UnlockEnvironment(this);
  DropIdleConnections();
  return status;
}

int32_t Environment::Connect(const std::string& path, std::shared_ptr<Connection>* out) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    FileId id{st.st_dev, st.st_ino};
    for (auto& c : connections_) {
      if (c->id() == id) {
        *out = c;
        return 0;
      }
    }
  }
  std::unique_ptr<Connection> made;
  int32_t status = Connection::Open(path, false, lock_wait_ms_, &made);
  if (status != 0) return status;
  std::shared_ptr<Connection> shared(std::move(made));
  connections_.push_back(shared);
  *out = std::move(shared);
  return 0;
}

void Environment::RemoveFile(OpenFile* f) {
  files_.erase(std::remove(files_.begin(), files_.end(), f), files_.end());
}

void Environment::DropIdleConnections() {
  connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                    [](const std::shared_ptr<Connection>& c) {
                                      return c.use_count() == 1 && !c->in_tx();
                                    }),
                     connections_.end());
}

}  // namespace tmbio
