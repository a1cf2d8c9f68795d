#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry_file.h"

namespace tmb::platform {
namespace {

// A hive file is written by hand or by the registry editor; anything this
// large is a mistake, and reading it on every change would stall sessions.
constexpr off_t kMaxHiveFileBytes = off_t{16} << 20;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  // A service started without an environment still has an account.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return std::string();
}

// What a hive file was when it was last read: a change in any of these
// means the content may have changed. The inode catches a file replaced by
// rename with the same size within one timestamp tick.
struct FileStamp {
  int error = 0;  // errno of stat or read; 0 when the file was read
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileStamp& o) const {
    return error == o.error && device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
  }
};

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.device = st.st_dev;
  s.inode = st.st_ino;
  s.size = st.st_size;
  s.modified = st.st_mtim;
  s.changed = st.st_ctim;
  return s;
}

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

struct ReadResult {
  bool ok = false;
  bool identified = false;  // `identity` holds: the file was opened
  FileStamp identity;
  std::string bytes;
  std::string problem;  // what to report when not ok; "" for a missing file
};

// Reads a regular file whole.
ReadResult ReadHiveFile(const std::string& path) {
  ReadResult r;
  // O_NONBLOCK: a FIFO put in the file's place must not hang the server.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (!IsMissing(errno)) r.problem = path + ": cannot open: " + std::strerror(errno);
    return r;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    r.problem = path + ": cannot read: " + std::strerror(errno);
    ::close(fd);
    return r;
  }
  r.identified = true;
  r.identity = StampOf(st);
  if (!S_ISREG(st.st_mode)) {
    r.problem = path + ": not a regular file; the hive is taken as empty";
  } else if (st.st_size > kMaxHiveFileBytes) {
    r.problem = path + ": larger than " + std::to_string(kMaxHiveFileBytes) + " bytes; the hive is taken as empty";
  } else {
    r.bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    r.ok = true;
    while (true) {
      // A file that grew since fstat is read as far as the limit allows.
      if (got == r.bytes.size()) {
        if (r.bytes.size() >= static_cast<size_t>(kMaxHiveFileBytes)) break;
        r.bytes.resize(std::min(r.bytes.size() + 4096, static_cast<size_t>(kMaxHiveFileBytes)));
      }
      ssize_t n = ::read(fd, r.bytes.data() + got, r.bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r.ok = false;
        r.problem = path + ": cannot read: " + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    r.bytes.resize(r.ok ? got : 0);
  }
  ::close(fd);
  return r;
}

// The parsed content of one hive file, re-read whenever the file changes.
// Problems are reported when a content is read, so each is told once.
class HiveCache {
 public:
  std::shared_ptr<const regfile::ParsedHive> Get(Hive hive) {
    std::string path = HiveFilePath(hive);
    std::lock_guard<std::mutex> lock(mu_);
    FileStamp now;
    struct stat st;
    if (path.empty()) {
      now.error = ENOENT;
    } else if (::stat(path.c_str(), &st) != 0) {
      now.error = errno;
    } else {
      now = StampOf(st);
    }
    if (parsed_ && path == path_ && now == stamp_) return parsed_;

    path_ = path;
    if (now.error != 0) {
      stamp_ = now;
      if (!IsMissing(now.error)) Report(path + ": cannot read: " + std::strerror(now.error));
      parsed_ = Empty();
      return parsed_;
    }
    // The file may be rewritten while it is read; take a content whose stamp
    // held from before the read to after it, so that a half-written file is
    // not kept as if it were the final one.
    for (int attempt = 0;; ++attempt) {
      ReadResult r = ReadHiveFile(path);
      FileStamp after;
      if (::stat(path.c_str(), &st) != 0) {
        after.error = errno;
      } else {
        after = StampOf(st);
      }
      if (r.identified && !(after == r.identity) && attempt < 3) continue;
      // Keeping the stamp of before the read makes a file that was still
      // changing look changed on the next open, which then reads it again.
      // A file that could not be read keeps a stamp that the next stat
      // matches, so that its problem is told once.
      stamp_ = r.identified ? r.identity : now;
      if (!r.ok) {
        if (!r.problem.empty()) Report(r.problem);
        parsed_ = Empty();
      } else {
        auto parsed = std::make_shared<regfile::ParsedHive>(regfile::ParseHive(r.bytes, path, hive));
        for (const std::string& line : parsed->diagnostics) Report(line);
        parsed->diagnostics.clear();
        parsed->diagnostics.shrink_to_fit();
        parsed_ = std::move(parsed);
      }
      return parsed_;
    }
  }

 private:
  static std::shared_ptr<const regfile::ParsedHive> Empty() {
    static const auto* empty = new std::shared_ptr<const regfile::ParsedHive>(
        std::make_shared<regfile::ParsedHive>());
    return *empty;
  }

  static void Report(const std::string& line) {
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  std::mutex mu_;
  std::string path_;
  FileStamp stamp_;
  std::shared_ptr<const regfile::ParsedHive> parsed_;
};

HiveCache& CacheOf(Hive hive) {
  // Never destroyed: session threads may still open keys while the process
  // runs its exit handlers.
  static HiveCache* const caches = new HiveCache[2];
  return caches[hive == Hive::kCurrentUser ? 0 : 1];
}

}  // namespace

std::string HiveFilePath(Hive hive) {
  if (hive == Hive::kLocalMachine) {
    std::string path = Env("TMB_MACHINE_REGISTRY");
    return path.empty() ? "/etc/tmbsqlsvr/machine.reg" : path;
  }
  std::string path = Env("TMB_USER_REGISTRY");
  if (!path.empty()) return path;
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG rules say.
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty() || config.front() != '/') {
    std::string home = HomeDirectory();
    if (home.empty()) return std::string();
    config = home + "/.config";
  }
  return config + "/tmbsqlsvr/user.reg";
}

struct RegistryKey::Impl {
  std::shared_ptr<const regfile::ParsedHive> hive;  // keeps `key` alive
  const regfile::Key* key = nullptr;
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

long RegistryKey::Open(Hive hive, std::string_view path) {
  impl_.reset();
  std::shared_ptr<const regfile::ParsedHive> parsed = CacheOf(hive).Get(hive);
  const regfile::Key* key = regfile::FindKey(parsed->root, path);
  if (key == nullptr) return kErrorFileNotFound;
  impl_ = std::make_unique<Impl>();
  impl_->hive = std::move(parsed);
  impl_->key = key;
  return kErrorSuccess;
}

bool RegistryKey::is_open() const { return impl_ != nullptr; }

long RegistryKey::QueryValue(const char* name, uint32_t* type, void* data, uint32_t* size) const {
  if (!impl_) return kErrorInvalidHandle;
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  const regfile::Value* value = impl_->key->FindValue(name ? name : "");
  if (value == nullptr) return kErrorFileNotFound;
  const uint32_t needed = static_cast<uint32_t>(value->data.size());
  if (type) *type = value->type;
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr) std::memcpy(data, value->data.data(), needed);
  if (size) *size = needed;
  return kErrorSuccess;
}

long RegistryKey::EnumValue(uint32_t index, char* name, uint32_t* name_size, uint32_t* type, void* data,
                            uint32_t* data_size) const {
  if (!impl_) return kErrorInvalidHandle;
  if (name == nullptr || name_size == nullptr || (data != nullptr && data_size == nullptr)) {
    return kErrorInvalidParameter;
  }
  const auto& values = impl_->key->values;
  if (index >= values.size()) return kErrorNoMoreItems;
  const regfile::Value& value = values[index];
  const uint32_t needed = static_cast<uint32_t>(value.data.size());
  if (type) *type = value.type;
  const bool name_fits = value.name.size() < *name_size;  // room for the terminator
  const bool data_fits = data == nullptr || *data_size >= needed;
  if (data_size) *data_size = needed;
  // Nothing is copied unless both fit; the name count is left as it came,
  // as the Windows call leaves it.
  if (!name_fits || !data_fits) return kErrorMoreData;
  std::memcpy(name, value.name.data(), value.name.size());
  name[value.name.size()] = '\0';
  *name_size = static_cast<uint32_t>(value.name.size());
  if (data != nullptr) std::memcpy(data, value.data.data(), needed);
  return kErrorSuccess;
}

}  // namespace tmb::platform
