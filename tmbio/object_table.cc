#include "object_table.h"

#include <cstdlib>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>

namespace tmbio {

namespace {

int32_t Capped(size_t n) {
  constexpr auto kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(n < kMax ? n : kMax);
}

}  // namespace

ObjectTable::ObjectTable() {
  std::random_device rd;
  std::seed_seq seed{rd(), rd(), rd(), rd()};
  rng_.seed(seed);
}

bool ObjectTable::IdTaken(int32_t id) const {
  return envs_.index.count(id) != 0 || files_.index.count(id) != 0 || sqls_.index.count(id) != 0;
}

bool ObjectTable::Add(Kind& kind, void* object, int32_t* id, TMBEnvironment* env,
                      Release release) noexcept {
  // The node is made outside the lock; the index insertion may allocate
  // too, so both are guarded against exhaustion.
  List node;
  try {
    node.push_back(Entry{object, *id, env, release});
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::lock_guard<std::shared_mutex> lock(mu_);
  int32_t chosen = *id;
  if (chosen == 0) {
    std::uniform_int_distribution<int32_t> dist(1, std::numeric_limits<int32_t>::max());
    do chosen = dist(rng_);
    while (IdTaken(chosen));
  } else if (IdTaken(chosen)) {
    return false;
  }
  node.front().id = chosen;
  try {
    kind.index.emplace(chosen, node.begin());
    try {
      kind.by_object.emplace(object, node.begin());
    } catch (const std::bad_alloc&) {
      kind.index.erase(chosen);
      throw;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  kind.list.splice(kind.list.end(), node);
  *id = chosen;
  return true;
}

bool ObjectTable::AddEnvironment(TMBEnvironment* env, Release release) noexcept {
  return Add(envs_, env, &env->id, env, release);
}

bool ObjectTable::AddFile(TMBFile* file, TMBEnvironment* env, Release release) noexcept {
  return Add(files_, file, &file->id, env, release);
}

bool ObjectTable::AddSqlHandle(TMBSqlHandle* handle, TMBEnvironment* env,
                               Release release) noexcept {
  return Add(sqls_, handle, &handle->id, env, release);
}

void ObjectTable::Erase(Kind& kind, List::iterator it, List* into) {
  kind.index.erase(it->id);
  kind.by_object.erase(it->object);
  into->splice(into->end(), kind.list, it);
}

bool ObjectTable::Remove(Kind& kind, void* object) noexcept {
  List taken;  // freed after the lock is released
  std::lock_guard<std::shared_mutex> lock(mu_);
  auto it = kind.by_object.find(object);
  if (it == kind.by_object.end()) return false;
  Erase(kind, it->second, &taken);
  return true;
}

bool ObjectTable::RemoveEnvironment(TMBEnvironment* env) noexcept { return Remove(envs_, env); }

bool ObjectTable::RemoveFile(TMBFile* file) noexcept { return Remove(files_, file); }

bool ObjectTable::RemoveSqlHandle(TMBSqlHandle* handle) noexcept { return Remove(sqls_, handle); }

void* ObjectTable::Find(const Kind& kind, int32_t id) const noexcept {
  std::shared_lock<std::shared_mutex> lock(mu_);
  auto it = kind.index.find(id);
  return it == kind.index.end() ? nullptr : it->second->object;
}

TMBEnvironment* ObjectTable::FindEnvironment(int32_t id) const noexcept {
  return static_cast<TMBEnvironment*>(Find(envs_, id));
}

TMBFile* ObjectTable::FindFile(int32_t id) const noexcept {
  return static_cast<TMBFile*>(Find(files_, id));
}

TMBSqlHandle* ObjectTable::FindSqlHandle(int32_t id) const noexcept {
  return static_cast<TMBSqlHandle*>(Find(sqls_, id));
}

void* ObjectTable::FindOwned(const Kind& kind, int32_t id, uint64_t socket) const noexcept {
  // Environments not yet handed to a connection carry TMBIO_NO_SOCKET; no
  // caller may reach them through it.
  if (socket == TMBIO_NO_SOCKET) return nullptr;
  std::shared_lock<std::shared_mutex> lock(mu_);
  auto it = kind.index.find(id);
  if (it == kind.index.end()) return nullptr;
  const Entry& entry = *it->second;
  // The entry's environment is read only while the table holds it: one that
  // was taken out alone may be freed, and its address is all that is left.
  if (envs_.by_object.count(entry.env) == 0) return nullptr;
  return TMBEnvironmentOwner(entry.env) == socket ? entry.object : nullptr;
}

TMBEnvironment* ObjectTable::FindOwnedEnvironment(int32_t id, uint64_t socket) const noexcept {
  return static_cast<TMBEnvironment*>(FindOwned(envs_, id, socket));
}

TMBFile* ObjectTable::FindOwnedFile(int32_t id, uint64_t socket) const noexcept {
  return static_cast<TMBFile*>(FindOwned(files_, id, socket));
}

TMBSqlHandle* ObjectTable::FindOwnedSqlHandle(int32_t id, uint64_t socket) const noexcept {
  return static_cast<TMBSqlHandle*>(FindOwned(sqls_, id, socket));
}

template <typename Pick>
size_t ObjectTable::TakeAndRelease(Pick pick) noexcept {
  // Splicing moves nodes and erasing from the index frees, so releasing
  // cannot fail for want of memory. The release functions run outside the
  // lock: they take other locks of the engine, which may call back here.
  List envs;
  List files;
  List sqls;
  {
    std::lock_guard<std::shared_mutex> lock(mu_);
    for (auto it = envs_.list.begin(); it != envs_.list.end();) {
      auto next = std::next(it);
      if (pick(*it)) Erase(envs_, it, &envs);
      it = next;
    }
    if (envs.empty()) return 0;
    auto take_members = [&envs](Kind& kind, List& out) {
      for (auto it = kind.list.begin(); it != kind.list.end();) {
        auto next = std::next(it);
        for (const Entry& e : envs) {
          if (e.env == it->env) {
            Erase(kind, it, &out);
            break;
          }
        }
        it = next;
      }
    };
    take_members(files_, files);
    take_members(sqls_, sqls);
  }
  for (const Entry& f : files) {
    auto* file = static_cast<TMBFile*>(f.object);
    // The server's read buffer would otherwise be lost with the connection.
    std::free(file->server_cell);
    file->server_cell = nullptr;
    if (f.release != nullptr) f.release(file);
  }
  for (const Entry& s : sqls) {
    if (s.release != nullptr) s.release(s.object);
  }
  for (const Entry& e : envs) {
    if (e.release != nullptr) e.release(e.object);
  }
  return envs.size();
}

void ObjectTable::ReleaseOwnedBy(uint64_t socket) noexcept {
  if (socket == TMBIO_NO_SOCKET) return;
  TakeAndRelease([socket](const Entry& e) { return TMBEnvironmentOwner(e.env) == socket; });
}

bool ObjectTable::ReleaseEnvironment(TMBEnvironment* env) noexcept {
  return TakeAndRelease([env](const Entry& e) { return e.object == env; }) != 0;
}

int32_t ObjectTable::environment_count() const noexcept {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return Capped(envs_.list.size());
}

int32_t ObjectTable::file_count() const noexcept {
  std::shared_lock<std::shared_mutex> lock(mu_);
  return Capped(files_.list.size());
}

int32_t ObjectTable::CountOwned(const Kind& kind, uint64_t socket) const noexcept {
  if (socket == TMBIO_NO_SOCKET) return 0;
  std::shared_lock<std::shared_mutex> lock(mu_);
  size_t n = 0;
  for (const Entry& entry : kind.list) {
    // As in FindOwned: an environment taken out alone may already be freed.
    if (envs_.by_object.count(entry.env) != 0 && TMBEnvironmentOwner(entry.env) == socket) ++n;
  }
  return Capped(n);
}

int32_t ObjectTable::environment_count_of(uint64_t socket) const noexcept {
  return CountOwned(envs_, socket);
}

int32_t ObjectTable::file_count_of(uint64_t socket) const noexcept {
  return CountOwned(files_, socket);
}

ObjectTable& Objects() noexcept {
  static ObjectTable* const table = new ObjectTable;
  return *table;
}

}  // namespace tmbio
