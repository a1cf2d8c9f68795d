// The commit log that makes a transaction over several data files atomic
// across a crash (docs/data-library.md, "Durability").
//
// Each directory holding a file of such a transaction has a log,
// DIR/.tmbio-commits (an SQLite database): `txs` (txid, primary_log,
// others) and `parts` (txid, path, dev, ino, changeset), one part per file
// of that directory. A transaction's record is written to the logs of the
// other directories first and to its primary log (the first directory in
// name order) last: the record in the primary log is the commit point.
// Each data file then commits its changes together with the txid in its
// table `tmbio_applied`, and the record is deleted.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "locks.h"

namespace tmbio {

// The table of a data file that holds the ids of transactions whose part
// the file has, while their records are in a log.
inline constexpr const char* kAppliedTable = "tmbio_applied";

struct CommitPart {
  std::string path;  // as the file system resolves it
  FileId id;
  std::string changeset;  // an SQLite session changeset
};

// A new transaction id, unique across processes in practice (random).
int64_t NewTxId();

// Writes the record of transaction `txid` durably (the commit point once
// the primary log has it). On failure nothing is committed.
int32_t WriteCommitRecord(int64_t txid, const std::vector<CommitPart>& parts);
// Deletes the record once every file has its part.
void DropCommitRecord(int64_t txid, const std::vector<CommitPart>& parts);

// Inside a write transaction of `db` (the data file named by `path` and
// `id`), deletes the applied ids no record of its log still names.
int32_t TrimApplied(sqlite3* db, const std::string& path, const FileId& id);

struct SharedFile;

// Brings the data file at `path` up to every committed record naming it
// (its changes and the txid in one SQLite transaction), drops what
// uncommitted records left, and trims its applied ids. When there is work
// it waits up to `wait_ms` for the file's write lock, first in the line of
// this process's writers of `shared`.
int32_t RecoverFile(const std::string& path, const FileId& id, int32_t wait_ms,
                    SharedFile* shared);

// A test hook: TMBIO_TEST_KILL_COMMIT="N:K" kills the process with SIGKILL
// in the N-th transaction over several files committed while it is set,
// after K of its files have committed (K = 0: right after the commit point).
void TestKillPoint(int files_committed);

}  // namespace tmbio
