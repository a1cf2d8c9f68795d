#include "handlers/host_files.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "config/data_roots.h"
#include "config/settings.h"
#include "handlers/text_field.h"
#include "platform/directory_search.h"
#include "platform/file_status.h"
#include "platform/profile.h"
#include "server/server.h"
#include "server/session.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

constexpr uint32_t kPathSize = 256;
constexpr uint32_t kProfileTextSize = 128;
constexpr uint32_t kLastSearchId = UINT32_MAX;

// One connection's share of the list, kept in its session. Freed with the
// session, after the searches it opened are closed; so every search in the
// list has a live owner.
struct SearchOwner {
  int open = 0;  // searches in the list that name this owner; under g_search_mu
};

struct Search {
  uint32_t id;
  SearchOwner* owner;
  std::unique_ptr<platform::DirectorySearch> search;
};

// The open searches, newest first, and the next id. Every step of a search,
// its next-entry reads included, happens under the lock: a search closed by
// one connection must not be read by another at the same moment.
std::mutex g_search_mu;
uint32_t g_next_search_id = 1;

// Never destroyed: detached session threads may still reach it at exit.
std::list<Search>& Searches() {
  static auto* searches = new std::list<Search>;
  return *searches;
}

// Takes `it` out of the list into `closing`, which the caller frees after
// the lock is released: a search's names may be many.
void TakeOut(std::list<Search>::iterator it, std::list<Search>& closing) {
  --it->owner->open;
  closing.splice(closing.end(), Searches(), it);
  if (Searches().empty()) g_next_search_id = 1;
}

// The session's deleter: a connection's searches end with it.
void CloseConnectionSearches(void* p) noexcept {
  auto* owner = static_cast<SearchOwner*>(p);
  std::list<Search> closing;  // splicing allocates nothing
  {
    std::lock_guard<std::mutex> lock(g_search_mu);
    for (auto it = Searches().begin(); it != Searches().end();) {
      const auto next = std::next(it);
      if (it->owner == owner) TakeOut(it, closing);
      it = next;
    }
  }
  delete owner;
}

SearchOwner& OwnerOf(Session& s) {
  if (s.directory_searches == nullptr) {
    // Should the control block not be had, the deleter runs and the
    // session ends on the bad_alloc.
    s.directory_searches = std::shared_ptr<void>(new SearchOwner, &CloseConnectionSearches);
  }
  return *static_cast<SearchOwner*>(s.directory_searches.get());
}

bool HasRoom(const SearchOwner& owner, int limit) {
  std::lock_guard<std::mutex> lock(g_search_mu);
  return owner.open < limit;
}

Search* FindSearch(uint32_t id) {
  for (Search& s : Searches()) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

}  // namespace

void FindFirstFile(Session& s) {
  MessageBuffer& b = s.buffer;
  char pattern[kPathSize] = {};
  GetTerminatedText(b, pattern, sizeof pattern);

  SearchOwner& owner = OwnerOf(s);
  const int limit = ReadSearchesPerConnection();
  // The directory is read outside the lock; only the list is shared. A
  // connection at its limit gets no listing made for it at all.
  std::unique_ptr<platform::DirectorySearch> search;
  if (HasRoom(owner, limit)) {
    const platform::PathRoots roots = ReadDataRoots();
    search = platform::DirectorySearch::Open(pattern, &roots);
  }
  int32_t id = -1;
  std::string first;
  if (search != nullptr) {
    first = search->name();
    std::lock_guard<std::mutex> lock(g_search_mu);
    if (g_next_search_id != kLastSearchId && owner.open < limit) {
      try {
        Searches().push_front({g_next_search_id, &owner, std::move(search)});
        ++owner.open;
        id = static_cast<int32_t>(g_next_search_id++);
      } catch (const std::bad_alloc&) {
        // No node: the search closes below and the client gets -1.
      }
    }
  }
  // A search that got no node is closed here rather than left open unseen.
  search.reset();
  b.BeginReply();
  PutInt32(b, id);
  if (id != -1) PutText(b, first.c_str());
}

void FindNextFile(Session& s) {
  const uint32_t id = static_cast<uint32_t>(GetInt32(s.buffer));
  bool found = false;
  std::string name;
  {
    std::lock_guard<std::mutex> lock(g_search_mu);
    Search* search = FindSearch(id);
    if (search != nullptr && search->search->Next()) {
      found = true;
      name = search->search->name();
    }
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, found ? 1 : 0);
  if (found) PutText(s.buffer, name.c_str());
}

void FindClose(Session& s) {
  const uint32_t id = static_cast<uint32_t>(GetInt32(s.buffer));
  std::list<Search> closing;
  {
    std::lock_guard<std::mutex> lock(g_search_mu);
    for (auto it = Searches().begin(); it != Searches().end(); ++it) {
      if (it->id != id) continue;
      TakeOut(it, closing);
      break;
    }
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, 1);
}

void GetProfileString(Session& s) {
  MessageBuffer& b = s.buffer;
  char section[kProfileTextSize];
  char key[kProfileTextSize];
  char default_text[kProfileTextSize];
  char file_name[kProfileTextSize];
  GetTerminatedText(b, section, sizeof section);
  GetTerminatedText(b, key, sizeof key);
  GetTerminatedText(b, default_text, sizeof default_text);
  const int32_t size = GetInt32(b);
  GetTerminatedText(b, file_name, sizeof file_name);

  // From the ordinary heap, and answered with 0 when it cannot be had; a
  // size no reply could carry counts as such, before anything is reserved.
  std::unique_ptr<char, decltype(&std::free)> buffer(nullptr, &std::free);
  if (size > 0 && static_cast<uint64_t>(size) <= MaxMessageSize()) {
    buffer.reset(static_cast<char*>(std::calloc(static_cast<size_t>(size), 1)));
  }
  uint32_t count = 0;
  if (buffer != nullptr) {
    const platform::PathRoots roots = ReadDataRoots();
    count = platform::GetPrivateProfileString(section[0] != '\0' ? section : nullptr,
                                              key[0] != '\0' ? key : nullptr, default_text,
                                              buffer.get(), static_cast<uint32_t>(size),
                                              file_name, &roots);
  }
  b.BeginReply();
  PutInt32(b, static_cast<int32_t>(count));
  if (count != 0) PutBlock(b, buffer.get(), count);
}

void StatFile(Session& s) {
  char path[kPathSize] = {};
  GetTerminatedText(s.buffer, path, sizeof path);
  uint16_t mode = 0;
  const platform::PathRoots roots = ReadDataRoots();
  const int result = platform::StatFile(path, &mode, &roots);
  s.buffer.BeginReply();
  PutInt32(s.buffer, result);
  if (result == 0) PutInt16(s.buffer, static_cast<int16_t>(mode));
}

}  // namespace tmb
