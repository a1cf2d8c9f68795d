// An environment: what one client works in. It owns its settings, its
// logon, its transaction and the connections to the data files its open
// files use (one per data file, shared by its open files of that file).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "data_file.h"
#include "tmbio/tmbio.h"

namespace tmbio {

class OpenFile;

class Environment {
 public:
  Environment();
  ~Environment();  // rolls back, releases the locks; files are closed first
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

  static Environment* Of(TMBEnvironment* env);  // null for a bad handle
  TMBEnvironment* pub() { return pub_.get(); }

  intptr_t GetMode(int32_t mode);
  intptr_t SetMode(int32_t mode, intptr_t value);

  // Where relative file names are looked up and what SQL handles list.
  std::string DataDir() const;
  // The catalog name the SQL metadata reports.
  std::string CatalogName() const;
  std::string ViewLibrary() const;

  // Logon and logoff as QDLogon/QDLogoff describe them.
  int32_t Logon(const char* user, const char* password, const char* workstation,
                const char* language, const char* application, const uint8_t** blob,
                int32_t* blob_length, int32_t* result, char* message);
  int32_t Logoff(int32_t* out, char* message);
  bool logged_on() const { return logged_on_; }
  // Whether files of `dir` may be used: always when `dir` defines no users,
  // else only after a logon checked against that very directory. A path
  // that leads into another catalog's directory does not pass its users.
  bool MayUseDirectory(const std::string& dir) const;
  // Whether the file at `path` may be used: the directory its name shows and
  // the directory it really is in (symbolic links and ".." resolved) must
  // both pass MayUseDirectory, so that a link in an open directory does not
  // lead past the users of a guarded one. Returns 0 and the resolved path in
  // *real; TMBIO_DENIED, or the status of a path that does not resolve.
  int32_t MayUseFile(const std::string& path, std::string* real) const;

  int32_t BeginTx();
  int32_t CommitTx();
  int32_t RollbackTx();
  bool in_tx() const { return in_tx_; }
  // TMBIO_ENV_STATEMENT: marks, undoes to or releases a statement's mark
  // on every file the transaction holds.
  int32_t StatementMark(intptr_t what);
  // The environments in a transaction that were owned by `socket` when they
  // began it (the server sets an owner once, before any transaction). The
  // server asks after every request; a count kept as transactions begin and
  // end answers without a look at every environment of the process.
  static int32_t TransactionsOf(uint64_t socket);
  int32_t open_files() const { return static_cast<int32_t>(files_.size()); }

  bool read_only() const { return read_only_; }
  int32_t lock_wait_ms() const { return lock_wait_ms_; }

  // The connection to the data file at `path`, opened when the environment
  // has none to it yet.
  int32_t Connect(const std::string& path, std::shared_ptr<Connection>* out);
  void AddFile(OpenFile* f) { files_.push_back(f); }
  void RemoveFile(OpenFile* f);
  // Closes connections no open file uses and no transaction holds.
  void DropIdleConnections();

  int32_t sql_handles = 0;

 private:
  void SetInTx(bool on);
  std::string* TextSlot(int32_t mode);
  // The commit of a transaction that wrote several files: a commit record
  // first (the commit point), then each file with the transaction's id.
  int32_t CommitAcross(const std::vector<Connection*>& written);

  // The server's view: the catalogs are written into it by the server. It
  // is large (about 400 KiB), hence its own allocation.
  std::unique_ptr<TMBEnvironment> pub_;
  int32_t lock_wait_ms_;
  bool read_only_ = false;
  bool in_tx_ = false;  // changed through SetInTx alone
  bool marked_ = false;  // a statement's mark is set (TMBIO_ENV_STATEMENT)
  uint64_t tx_socket_ = 0;  // the owner counted for the open transaction
  bool logged_on_ = false;
  std::string user_;
  std::string logon_dir_;  // the directory whose users the logon was checked by
  std::string logon_blob_;
  int32_t catalog_index_ = -1;
  std::string data_dir_;  // set by mode 8 or 21
  std::map<int32_t, std::string> texts_;
  std::vector<OpenFile*> files_;
  // By path as opened and by identity: two names of one file share one.
  std::vector<std::shared_ptr<Connection>> connections_;
};

}  // namespace tmbio
