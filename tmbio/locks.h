// Record locks: one process-wide table, keyed by the data file's identity
// and the record's position, of the environment holding each lock. A lock
// also remembers the open file it was taken through, so that closing that
// file releases it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

namespace tmbio {

// A data file as the operating system knows it: two paths to one file, or
// two handles on it, meet here.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId& o) const { return dev == o.dev && ino == o.ino; }
  bool operator<(const FileId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

namespace locks {

// Locks record `pos` of `file` for `env` (through `via`). Returns 1 when
// the environment holds it now (also when it already did), TMBIO_LOCKED when
// another environment holds it, TMBIO_NO_MEMORY.
int32_t Lock(const FileId& file, int64_t pos, const void* env, const void* via) noexcept;
// True when an environment other than `env` holds the lock.
bool LockedByOther(const FileId& file, int64_t pos, const void* env) noexcept;
// Releases `env`'s lock on one record; returns the number released (0, 1).
int32_t Unlock(const FileId& file, int64_t pos, const void* env) noexcept;
// Releases every lock `env` holds on `file`; returns the number released.
int32_t UnlockFile(const FileId& file, const void* env) noexcept;
// Releases every lock taken through `via`, or held by `env`.
int32_t UnlockVia(const void* via) noexcept;
int32_t UnlockEnvironment(const void* env) noexcept;
// Locks `env` holds.
int32_t Count(const void* env) noexcept;

}  // namespace locks
}  // namespace tmbio
