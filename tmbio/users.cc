#include "users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "admin.h"

namespace tmbio {

namespace {

constexpr size_t kHashBytes = 32;
constexpr size_t kSaltBytes = 16;
constexpr size_t kMaxSaltBytes = 256;
// A users file is small; a huge one is not read into memory.
constexpr std::streamsize kMaxLine = 8192;
constexpr off_t kMaxFileSize = 4 * 1024 * 1024;

std::string Hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[p[i] >> 4];
    out[2 * i + 1] = kDigits[p[i] & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unhex(std::string_view hex, std::vector<unsigned char>* out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexDigit(hex[i]);
    int lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

bool Derive(std::string_view password, const unsigned char* salt, size_t salt_len,
            uint32_t iterations, unsigned char* out) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                           static_cast<int>(salt_len), static_cast<int>(iterations), EVP_sha256(),
                           static_cast<int>(kHashBytes), out) == 1;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string UsersFilePath(const std::string& dir) {
  return (dir.empty() ? std::string(".") : dir) + "/tmbusers";
}

bool UsersDefined(const std::string& dir) {
  struct stat st;
  return stat(UsersFilePath(dir).c_str(), &st) == 0;
}

bool CheckUser(const std::string& dir, std::string_view name, std::string_view password,
               std::string* attributes) {
  if (name.empty() || password.size() > 4096) return false;
  const std::string path = UsersFilePath(dir);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileSize) {
    return false;
  }
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (static_cast<std::streamsize>(line.size()) > kMaxLine) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    // name:iterations:salt:hash:attributes; the attributes may hold ':'.
    std::string_view rest(line);
    std::string_view parts[4];
    bool ok = true;
    for (auto& part : parts) {
      size_t colon = rest.find(':');
      if (colon == std::string_view::npos) {
        ok = false;
        break;
      }
      part = rest.substr(0, colon);
      rest.remove_prefix(colon + 1);
    }
    if (!ok || !SameNameIgnoringCase(parts[0], name)) continue;
    uint64_t iterations = 0;
    for (char c : parts[1]) {
      if (c < '0' || c > '9' || iterations > kMaxIterations) return false;
      iterations = iterations * 10 + static_cast<uint64_t>(c - '0');
    }
    std::vector<unsigned char> salt, hash;
    if (iterations == 0 || iterations > kMaxIterations || !Unhex(parts[2], &salt) ||
        salt.size() > kMaxSaltBytes || !Unhex(parts[3], &hash) || hash.size() != kHashBytes) {
      return false;
    }
    unsigned char derived[kHashBytes];
    if (!Derive(password, salt.data(), salt.size(), static_cast<uint32_t>(iterations), derived)) {
      return false;
    }
    if (CRYPTO_memcmp(derived, hash.data(), kHashBytes) != 0) return false;
    if (attributes != nullptr) attributes->assign(rest);
    return true;
  }
  return false;
}

std::string MakeUserLine(std::string_view name, std::string_view password,
                         std::string_view attributes, uint32_t iterations) {
  if (name.empty() || name.find_first_of(":\r\n") != std::string_view::npos ||
      attributes.find_first_of("\r\n") != std::string_view::npos || iterations == 0 ||
      iterations > kMaxIterations || password.size() > 4096) {
    return std::string();
  }
  unsigned char salt[kSaltBytes];
  unsigned char hash[kHashBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) return std::string();
  if (!Derive(password, salt, sizeof salt, iterations, hash)) return std::string();
  std::string line(name);
  line += ':';
  line += std::to_string(iterations);
  line += ':';
  line += Hex(salt, sizeof salt);
  line += ':';
  line += Hex(hash, sizeof hash);
  line += ':';
  line += attributes;
  return line;
}

}  // namespace tmbio
