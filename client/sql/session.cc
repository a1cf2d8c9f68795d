#include "client/sql/session.h"

#include "client/data_calls.h"
#include "client/field_kinds.h"
#include "client/session_calls.h"
#include "tmbio/tmbio.h"
#include "wire/opcodes.h"

namespace tmb::sql {

Session::~Session() {
  std::string error;
  for (auto& files : free_) {
    for (const FileHandle& h : files) {
      int32_t status = 0;
      if (client_.connected()) CallCloseFile(client_, h.id, &status, &error);
    }
  }
  if (in_transaction_ && client_.connected()) {
    int32_t status = 0;
    CallTransaction(client_, opcode::kRollbackTX, env_, &status, &error);
  }
  if (env_ != 0 && client_.connected()) CallDeAllocEnv(client_, env_, &error);
}

bool Session::Load(std::string* error) {
  if (!LoadCatalog(client_, env_, &tables_, error)) return false;
  free_.assign(tables_.size(), {});
  open_.assign(tables_.size(), 0);
  for (size_t t = 0; t < tables_.size(); ++t) {
    FileHandle h;
    h.id = tables_[t].opened;
    free_[t].push_back(h);
    open_[t] = 1;
  }
  return true;
}

bool Session::Acquire(size_t t, FileHandle* h, std::string* error, int order) {
  if (!free_[t].empty()) {
    auto& files = free_[t];
    auto chosen = files.end() - 1;
    for (auto it = files.rbegin(); it != files.rend() && order != kAnyOrder; ++it) {
      if (order == kPositionOrder ? it->raw : !it->raw && it->key == order) {
        chosen = it.base() - 1;
        break;
      }
    }
    *h = *chosen;
    files.erase(chosen);
    return true;
  }
  if (open_[t] >= kMaxFilesPerTable) {
    *error = tables_[t].table.name + ": more than " + std::to_string(kMaxFilesPerTable) +
             " reads of the table at once";
    return false;
  }
  OpenedFile file;
  if (!CallOpenFile(client_, env_, tables_[t].table.file, TMBIO_OPEN_NORMAL, &file, error)) {
    return false;
  }
  if (file.id == -1) {
    *error = Failure(t, "cannot open " + tables_[t].table.file, -file.error);
    return false;
  }
  // The layout was read from the first open; a file changed since is not
  // read with it.
  if (file.record_length != tables_[t].table.record_length ||
      file.variable_length != tables_[t].variable_length) {
    int32_t status = 0;
    CallCloseFile(client_, file.id, &status, error);
    *error = tables_[t].table.name + ": the file's record layout changed; open the database again";
    return false;
  }
  ++open_[t];
  *h = FileHandle{file.id, -1};
  return true;
}

void Session::Release(size_t t, FileHandle h) {
  if (h.id != -1) free_[t].push_back(h);
}

bool Session::UseKey(size_t t, FileHandle* h, int key, std::string* error) {
  const bool raw = key == kPositionOrder;
  int32_t status = 0;
  if (h->raw != raw) {
    if (!CallRawReadMode(client_, h->id, raw, &status, error)) return false;
    if (status < 0) {
      *error = Failure(t, "switching the read order", status);
      return false;
    }
    h->raw = raw;
  }
  if (raw || h->key == key) return true;
  const Key& k = tables_[t].table.keys[static_cast<size_t>(key)];
  if (!CallKeyAdjust(client_, h->id, static_cast<int16_t>(k.number), "", &status, error)) {
    return false;
  }
  if (status < 0 && status != TMBIO_END) {
    *error = Failure(t, "key " + k.name, status);
    return false;
  }
  h->key = key;
  return true;
}

bool Session::ReadAt(size_t t, const FileHandle& h, int32_t position, std::string* record,
                     bool* found, std::string* error) {
  const TableLayout& layout = tables_[t];
  int32_t status = 0;
  *found = false;
  if (!CallExtReadDirect(client_, h.id, layout.table.record_length + layout.variable_length,
                         position, &status, record, error)) {
    return false;
  }
  if (status == TMBIO_END) return true;
  if (status < 0 && status != TMBIO_FILLED) {
    *error = Failure(t, "reading the row at " + std::to_string(position), status);
    return false;
  }
  if (status >= 0 && record->size() > static_cast<size_t>(status)) {
    record->resize(static_cast<size_t>(status));
  }
  if (record->size() < static_cast<size_t>(layout.table.record_length)) {
    record->resize(static_cast<size_t>(layout.table.record_length), '\0');
  }
  *found = true;
  return true;
}

std::string Session::Failure(size_t t, const std::string& what, int32_t status) const {
  const std::string& name = tables_[t].table.name;
  if (status == TMBIO_DUPLICATE) return "duplicate key in " + name;
  return name + ": " + what + ": " + StatusText(status) + " (" + std::to_string(status) + ")";
}

bool Session::Begin(std::string* error) {
  if (in_transaction_) return true;
  int32_t status = 0;
  if (!CallTransaction(client_, opcode::kBeginTX, env_, &status, error)) return false;
  if (status < 0) {
    *error = "beginning a transaction: " + StatusText(status);
    return false;
  }
  in_transaction_ = true;
  return true;
}

bool Session::End(bool commit, std::string* error) {
  if (!in_transaction_) return true;
  in_transaction_ = false;
  statement_marked_ = false;
  int32_t status = 0;
  if (!CallTransaction(client_, commit ? opcode::kCommitTX : opcode::kRollbackTX, env_, &status,
                       error)) {
    return false;
  }
  if (status < 0) {
    *error = std::string(commit ? "committing" : "rolling back") + ": " + StatusText(status);
    return false;
  }
  return true;
}

void Session::StatementBegins() {
  statement_marked_ = false;
  statement_writes_ = 0;
}

bool Session::BeforeWrite(bool in_explicit, std::string* error) {
  // On its own the statement is the transaction: its failure rolls it back.
  if (!in_explicit || statement_marked_ || !in_transaction_) return true;
  int32_t result = 0;
  if (!CallSetEnvNumber(client_, env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_MARK, &result,
                        error)) {
    return false;
  }
  if (result != 0) {
    *error = "marking the statement in the transaction: " + StatusText(result) + " (" +
             std::to_string(result) + ")";
    return false;
  }
  statement_marked_ = true;
  return true;
}

void Session::StatementFailed() {
  if (!statement_marked_) return;
  statement_marked_ = false;
  statement_writes_ = 0;
  if (!in_transaction_ || !client_.connected()) return;
  // Nothing to tell the application beyond the statement's own failure: a
  // connection that cannot undo is lost, and the next statement says so.
  int32_t result = 0;
  std::string error;
  CallSetEnvNumber(client_, env_, TMBIO_ENV_STATEMENT, TMBIO_STATEMENT_UNDO, &result, &error);
}

void Session::StatementEnds(int64_t changes) {
  // SQLite counts no change for a statement it aborted; one that wrote and
  // succeeded changed at least one row. A failure that came from SQLite
  // itself, not from a table, is caught here.
  if (statement_writes_ > 0 && changes == 0) StatementFailed();
  // The mark stays at the server until the next statement's replaces it;
  // no later failure (of a read still stepping) may take this one back.
  statement_marked_ = false;
  statement_writes_ = 0;
}

}  // namespace tmb::sql
