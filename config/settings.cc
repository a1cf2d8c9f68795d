#include "config/settings.h"

#include <cctype>
#include <cstring>

#include "config/hive_order.h"

namespace tmb {
namespace {

// Reads `name` of the settings key as raw bytes, current user first. Only a
// missing key or value, or one too large for `size`, falls through.
bool ReadSetting(const char* name, uint32_t* type, char* data, uint32_t size) {
  return ReadFirstValue(kSettingsKey, name, ValueFound::kHeld, type, data, size);
}

// A number stored as a dword or as decimal text.
std::optional<int64_t> ReadNumberSetting(const char* name) {
  char data[256] = {};
  uint32_t type = 0;
  if (!ReadSetting(name, &type, data, sizeof data)) return std::nullopt;
  if (type == platform::kRegDword) {
    uint32_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
  }
  const char* p = data;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return std::nullopt;
  int64_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)) && v < (int64_t{1} << 40); ++p) {
    v = v * 10 + (*p - '0');
  }
  return v;
}

}  // namespace

int32_t ParseDecimal(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint32_t v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) v = v * 10u + static_cast<uint32_t>(*p - '0');
  return static_cast<int32_t>(negative ? 0u - v : v);
}

ServerLimits ReadServerLimits() {
  ServerLimits limits;
  if (auto slots = ReadNumberSetting("ClientSlots")) {
    limits.client_slots = static_cast<int>(*slots < 1 ? 1 : (*slots > 1024 ? 1024 : *slots));
  }
  if (auto size = ReadNumberSetting("MaxMessageSize")) {
    limits.max_message_size = static_cast<uint64_t>(*size < 4096 ? 4096 : *size);
  }
  return limits;
}

uint16_t ReadListeningPort() {
  char text[256] = {};
  uint32_t type = 0;
  // The value's type is not looked at: a dword's bytes read as text give 0.
  if (!ReadSetting("Port", &type, text, sizeof text)) return 0;
  return static_cast<uint16_t>(ParseDecimal(text));
}

void ReadCertificateSetting(std::string* setting) {
  if (!setting->empty()) return;
  char text[kCertificateSettingSize] = {};
  uint32_t type = 0;
  if (ReadSetting("SSL", &type, text, sizeof text)) *setting = text;
}

bool CatalogsKeyExists() {
  platform::RegistryKey key;
  return OpenFirstKey(kCatalogsKey, &key);
}

namespace {

int64_t Bounded(int64_t v, int64_t low, int64_t high) { return v < low ? low : (v > high ? high : v); }

}  // namespace

ClientLimits ReadClientLimits(uint64_t max_message_size) {
  ClientLimits limits;
  if (auto v = ReadNumberSetting("MaxConnections")) {
    limits.max_connections = static_cast<int>(Bounded(*v, 1, kMaxConnectionsBound));
  }
  if (auto v = ReadNumberSetting("MaxConnectionsPerAddress")) {
    limits.max_connections_per_address = static_cast<int>(Bounded(*v, 1, kMaxConnectionsBound));
  }
  if (auto v = ReadNumberSetting("ClientSlotsPerAddress")) {
    limits.client_slots_per_address = static_cast<int>(Bounded(*v, 1, 1024));
  }
  if (auto v = ReadNumberSetting("FrameTimeout")) {
    limits.frame_timeout_seconds = static_cast<int>(Bounded(*v, 1, 3600));
  }
  if (auto v = ReadNumberSetting("MaxRequestMemory")) {
    limits.max_request_memory = static_cast<uint64_t>(*v);
  }
  if (limits.max_request_memory < 2 * max_message_size) {
    limits.max_request_memory = 2 * max_message_size;
  }
  return limits;
}

int ReadSearchesPerConnection() {
  const std::optional<int64_t> n = ReadNumberSetting("SearchesPerConnection");
  if (!n) return kDefaultSearchesPerConnection;
  return static_cast<int>(*n > kMaxSearchesPerConnection ? kMaxSearchesPerConnection : *n);
}

bool ReadEnforceAccess() {
  const auto value = ReadNumberSetting("EnforceAccess");
  return value && *value != 0;
}

int32_t ReadMaxLockWaitMs() {
  const auto value = ReadNumberSetting("MaxLockWait");
  if (!value) return kDefaultMaxLockWaitMs;
  return static_cast<int32_t>(*value > kLongestLockWaitMs ? kLongestLockWaitMs : *value);
}

int ReadEnvironmentsPerConnection() {
  const std::optional<int64_t> n = ReadNumberSetting("EnvironmentsPerConnection");
  if (!n) return kDefaultEnvironmentsPerConnection;
  return static_cast<int>(Bounded(*n, 1, kMaxEnvironmentsPerConnection));
}

int ReadFilesPerConnection() {
  const std::optional<int64_t> n = ReadNumberSetting("FilesPerConnection");
  if (!n) return kDefaultFilesPerConnection;
  return static_cast<int>(Bounded(*n, 1, kMaxFilesPerConnection));
}

int ReadTransactionIdleTimeoutSeconds() {
  const auto value = ReadNumberSetting("TransactionIdleTimeout");
  if (!value) return kDefaultTransactionIdleTimeoutSeconds;
  return static_cast<int>(Bounded(*value, 1, kLongestTransactionIdleTimeoutSeconds));
}

int ReadTlsHandshakeTimeoutSeconds() {
  const auto value = ReadNumberSetting("TlsHandshakeTimeout");
  if (!value) return kDefaultTlsHandshakeTimeoutSeconds;
  return static_cast<int>(Bounded(*value, 1, kLongestTlsHandshakeTimeoutSeconds));
}

}  // namespace tmb
