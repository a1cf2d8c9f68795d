// The registry: two hives, each one text file in the registry editor's export
// format. The current-user hive is the file named by TMB_USER_REGISTRY, else
// $XDG_CONFIG_HOME/tmbsqlsvr/user.reg (~/.config when unset); the machine hive
// is TMB_MACHINE_REGISTRY, else /etc/tmbsqlsvr/machine.reg. A missing file is
// an empty hive. Key and value names compare without regard to case; values
// keep their type. Texts are returned in Windows-1252.
// The accepted file format, its encodings and how faulty lines are told
// and skipped: platform/registry_file.h.
//
// Results are Windows error codes, as the callers of the Windows calls expect.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tmb::platform {

enum class Hive { kCurrentUser, kLocalMachine };

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;      // the key is not open
constexpr long kErrorInvalidParameter = 87;  // a buffer without its size
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;

constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// The file that holds `hive`, after the environment rules above.
std::string HiveFilePath(Hive hive);

// A key opened for reading: a snapshot of the key's values taken at open.
class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&&) noexcept;
  RegistryKey& operator=(RegistryKey&&) noexcept;

  // Opens `path` (backslash-separated, e.g. "Software\\Orlane Systems\\SQL
  // Server") under `hive`. A key exists when the file has its section or the
  // section of any key below it; "" is the hive's root key, which always
  // exists. Returns kErrorSuccess or kErrorFileNotFound (the key is then
  // closed). Opening re-reads a hive file that changed since it was last read.
  long Open(Hive hive, std::string_view path);

  bool is_open() const;

  // As RegQueryValueExA. `name` null or "" is the default value (@). `type`
  // and `data` may be null. *size is the capacity on entry; on return it is
  // the value's size. Texts (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) count their
  // terminators. Results: kErrorSuccess; kErrorMoreData when data is non-null
  // and too small (nothing is copied); kErrorFileNotFound;
  // kErrorInvalidParameter when data is given without size.
  long QueryValue(const char* name, uint32_t* type, void* data, uint32_t* size) const;

  // As RegEnumValueA, in the order of the file. *name_size is the capacity in
  // characters including the terminator on entry and the name's length
  // without it on return. kErrorMoreData when the name or the data does not
  // fit (nothing is copied, *data_size gets the data's size and *name_size
  // stays as it was); kErrorNoMoreItems past the last value. The default
  // value's name is "".
  long EnumValue(uint32_t index, char* name, uint32_t* name_size, uint32_t* type, void* data,
                 uint32_t* data_size) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tmb::platform
