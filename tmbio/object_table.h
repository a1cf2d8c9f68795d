// The library's table of live objects: every environment, open file and SQL
// handle, with the environment it lives in. Wire ids resolve through it,
// QD_SocketClosed takes out what a socket owns and the status counts read
// its sizes. The engine adds an object once it is complete and takes it out
// before it frees it itself.
//
// Ownership is read from TMBEnvironment.owning_socket when a socket closes
// or a connection looks an id up, not fixed when the object is added: the
// server sets the owner right after QDK_AllocEnv has returned. Files and SQL
// handles belong to their environment's owner.
//
// Ids are drawn at random (positive, unique among live objects) rather than
// counted up: a client that sends another connection's id should not hit a
// live object by guessing the neighbour of its own.
#pragma once

#include <cstdint>
#include <list>
#include <random>
#include <shared_mutex>
#include <unordered_map>

#include "tmbio/tmbio.h"

namespace tmbio {

class ObjectTable {
 public:
  // Frees an object that the table took out (socket close, environment
  // release).
  using Release = void (*)(void* object);

  ObjectTable();
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;

  // Adds a live object. An object whose id is 0 gets a fresh id written into
  // it; a given id must not be taken. Files and SQL handles name an
  // environment that must be in the table. False when memory ran out or the
  // id is taken (nothing added).
  bool AddEnvironment(TMBEnvironment* env, Release release) noexcept;
  bool AddFile(TMBFile* file, TMBEnvironment* env, Release release) noexcept;
  bool AddSqlHandle(TMBSqlHandle* handle, TMBEnvironment* env, Release release) noexcept;

  // Takes an object out for its owner to free. False when it is not in the
  // table, which means a socket close has taken it and frees it: the caller
  // must then leave it alone.
  bool RemoveEnvironment(TMBEnvironment* env) noexcept;
  bool RemoveFile(TMBFile* file) noexcept;
  bool RemoveSqlHandle(TMBSqlHandle* handle) noexcept;

  // The live object with that id, or nullptr.
  TMBEnvironment* FindEnvironment(int32_t id) const noexcept;
  TMBFile* FindFile(int32_t id) const noexcept;
  TMBSqlHandle* FindSqlHandle(int32_t id) const noexcept;

  // The live object with that id when `socket` owns it, or nullptr; nothing
  // is owned by TMBIO_NO_SOCKET. The owner is read under the lock from an
  // environment still in the table: what another thread is closing is out
  // of the table before it is freed, so the answer never reads freed memory.
  TMBEnvironment* FindOwnedEnvironment(int32_t id, uint64_t socket) const noexcept;
  TMBFile* FindOwnedFile(int32_t id, uint64_t socket) const noexcept;
  TMBSqlHandle* FindOwnedSqlHandle(int32_t id, uint64_t socket) const noexcept;

  // Takes out every environment that `socket` owns and every file and SQL
  // handle that lives in one, then, outside the lock, frees each file's
  // server cell and releases the files, the SQL handles, then the
  // environments. TMBIO_NO_SOCKET takes nothing.
  void ReleaseOwnedBy(uint64_t socket) noexcept;
  // The same for one environment (QDK_DeAllocEnv). False when it is not in
  // the table (a socket close has it).
  bool ReleaseEnvironment(TMBEnvironment* env) noexcept;

  // Objects in the table, capped at INT32_MAX.
  int32_t environment_count() const noexcept;
  int32_t file_count() const noexcept;
  // The environments `socket` owns and the files open in them, capped at
  // INT32_MAX; 0 for TMBIO_NO_SOCKET.
  int32_t environment_count_of(uint64_t socket) const noexcept;
  int32_t file_count_of(uint64_t socket) const noexcept;

 private:
  struct Entry {
    void* object;
    int32_t id;
    TMBEnvironment* env;  // the environment itself, or the one it lives in
    Release release;
  };
  using List = std::list<Entry>;
  using Index = std::unordered_map<int32_t, List::iterator>;
  struct Kind {
    List list;
    Index index;  // by id
    // By address: Remove* is given objects that a socket close may have
    // freed already, so it finds them without reading them.
    std::unordered_map<const void*, List::iterator> by_object;
  };

  bool Add(Kind& kind, void* object, int32_t* id, TMBEnvironment* env, Release release) noexcept;
  bool Remove(Kind& kind, void* object) noexcept;
  static void Erase(Kind& kind, List::iterator it, List* into);  // mu_ held
  void* Find(const Kind& kind, int32_t id) const noexcept;
  void* FindOwned(const Kind& kind, int32_t id, uint64_t socket) const noexcept;
  int32_t CountOwned(const Kind& kind, uint64_t socket) const noexcept;
  bool IdTaken(int32_t id) const;  // mu_ held
  // Takes out, under the lock, the environments `pick` selects and what
  // lives in them, then releases them outside the lock. Returns the number
  // of environments taken.
  template <typename Pick>
  size_t TakeAndRelease(Pick pick) noexcept;

  // Shared for lookups: every request of every session resolves its ids
  // here, and they must not queue behind one another.
  mutable std::shared_mutex mu_;
  Kind envs_;    // guarded by mu_
  Kind files_;   // guarded by mu_
  Kind sqls_;    // guarded by mu_
  std::mt19937 rng_;  // guarded by mu_
};

// The table of this library instance; lives until the process ends, so that
// session threads still running at exit never meet a destroyed lock.
ObjectTable& Objects() noexcept;

}  // namespace tmbio
