// The library's table of live objects: every environment and open file,
// with the connection that owns it. QD_SocketClosed takes out what a socket
// owns and the status counts read the table's sizes. The engine adds an
// object once it is complete and takes it out before it frees it itself.
//
// Ownership is read from TMBEnvironment.owning_socket when a socket closes,
// not fixed when the object is added: the server sets the owner right after
// QDK_AllocEnv has returned. A file belongs to its environment's owner.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "tmbio.h"

namespace tmbio {

class ObjectTable {
 public:
  // Frees an object that a socket close took out of the table.
  using Release = void (*)(void* object);

  ObjectTable() = default;
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;

  // Adds a live environment. False when memory ran out (nothing added).
  bool AddEnvironment(TMBEnvironment* env, Release release) noexcept;
  // Adds a file opened in `env`, which must be in the table. False when
  // memory ran out (nothing added).
  bool AddFile(TMBFile* file, TMBEnvironment* env, Release release) noexcept;

  // Takes an object out for its owner to free. False when it is not in the
  // table, which means a socket close has taken it and frees it: the caller
  // must then leave it alone. Files go before their environment.
  bool RemoveEnvironment(TMBEnvironment* env) noexcept;
  bool RemoveFile(TMBFile* file) noexcept;

  // Takes out every environment that `socket` owns and every file opened in
  // one, then, outside the lock, frees each file's server cell and releases
  // the files, then the environments. TMBIO_NO_SOCKET takes nothing.
  void ReleaseOwnedBy(uint64_t socket) noexcept;

  // Objects in the table, capped at INT32_MAX.
  int32_t environment_count() const noexcept;
  int32_t file_count() const noexcept;

 private:
  struct Entry {
    void* object;
    TMBEnvironment* env;  // the environment itself, or the file's
    Release release;
  };

  bool Remove(std::list<Entry>& list, void* object) noexcept;

  mutable std::mutex mu_;
  std::list<Entry> envs_;   // guarded by mu_
  std::list<Entry> files_;  // guarded by mu_
};

// The table of this library instance; lives until the process ends, so that
// session threads still running at exit never meet a destroyed lock.
ObjectTable& Objects() noexcept;

}  // namespace tmbio
