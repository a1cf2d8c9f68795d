#include "object_table.h"

#include <cstdlib>
#include <iterator>
#include <limits>
#include <new>

namespace tmbio {

namespace {

int32_t Capped(size_t n) {
  constexpr auto kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(n < kMax ? n : kMax);
}

}  // namespace

bool ObjectTable::AddEnvironment(TMBEnvironment* env, Release release) noexcept {
  std::list<Entry> node;
  try {
    node.push_back(Entry{env, env, release});
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  envs_.splice(envs_.end(), node);
  return true;
}

bool ObjectTable::AddFile(TMBFile* file, TMBEnvironment* env, Release release) noexcept {
  std::list<Entry> node;
  try {
    node.push_back(Entry{file, env, release});
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  files_.splice(files_.end(), node);
  return true;
}

bool ObjectTable::Remove(std::list<Entry>& list, void* object) noexcept {
  std::list<Entry> taken;  // freed after the lock is released
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->object == object) {
      taken.splice(taken.end(), list, it);
      return true;
    }
  }
  return false;
}

bool ObjectTable::RemoveEnvironment(TMBEnvironment* env) noexcept { return Remove(envs_, env); }

bool ObjectTable::RemoveFile(TMBFile* file) noexcept { return Remove(files_, file); }

void ObjectTable::ReleaseOwnedBy(uint64_t socket) noexcept {
  if (socket == TMBIO_NO_SOCKET) return;
  // Splicing moves nodes without allocating, so closing a socket cannot fail
  // for want of memory. The release functions run outside the lock: they may
  // take other locks of the engine, which in turn may call back into here.
  std::list<Entry> envs;
  std::list<Entry> files;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = envs_.begin(); it != envs_.end();) {
      auto next = std::next(it);
      if (TMBEnvironmentOwner(it->env) == socket) envs.splice(envs.end(), envs_, it);
      it = next;
    }
    if (envs.empty()) return;
    for (auto it = files_.begin(); it != files_.end();) {
      auto next = std::next(it);
      for (const Entry& e : envs) {
        if (e.env == it->env) {
          files.splice(files.end(), files_, it);
          break;
        }
      }
      it = next;
    }
  }
  for (const Entry& f : files) {
    auto* file = static_cast<TMBFile*>(f.object);
    // The server's read buffer would otherwise be lost with the connection.
    std::free(file->server_cell);
    file->server_cell = nullptr;
    if (f.release != nullptr) f.release(file);
  }
  for (const Entry& e : envs) {
    if (e.release != nullptr) e.release(e.object);
  }
}

int32_t ObjectTable::environment_count() const noexcept {
  std::lock_guard<std::mutex> lock(mu_);
  return Capped(envs_.size());
}

int32_t ObjectTable::file_count() const noexcept {
  std::lock_guard<std::mutex> lock(mu_);
  return Capped(files_.size());
}

ObjectTable& Objects() noexcept {
  static ObjectTable* const table = new ObjectTable;
  return *table;
}

}  // namespace tmbio
