#include "request_scope.h"

#include <algorithm>
#include <new>
#include <vector>

#include "open_file.h"

namespace tmbio::request {
namespace {

struct Scope {
  bool open = false;
  std::vector<OpenFile*> files;  // whose statements may still be open
};

thread_local Scope t_scope;

}  // namespace

void Begin() noexcept {
  End();
  t_scope.open = true;
}

void End() noexcept {
  Scope& s = t_scope;
  s.open = false;
  for (OpenFile* f : s.files) f->EndCall();
  s.files.clear();
}

void CallDone(OpenFile* f) noexcept {
  Scope& s = t_scope;
  if (!s.open) return f->EndCall();
  if (std::find(s.files.begin(), s.files.end(), f) != s.files.end()) return;
  try {
    s.files.push_back(f);
  } catch (const std::bad_alloc&) {
    f->EndCall();  // no room to remember it: ended now, as outside a request
  }
}

void Forget(OpenFile* f) noexcept {
  Scope& s = t_scope;
  s.files.erase(std::remove(s.files.begin(), s.files.end(), f), s.files.end());
}

}  // namespace tmbio::request
