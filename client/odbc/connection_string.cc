#include "client/odbc/connection_string.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>

namespace tmb::odbc {

namespace {

std::string Trim(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

bool SameKey(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

bool ParseConnectionString(std::string_view text, ConnectionKeys* keys, std::string* error) {
  keys->clear();
  size_t at = 0;
  while (at < text.size()) {
    const size_t eq = text.find('=', at);
    const size_t semi = text.find(';', at);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      const std::string rest = Trim(text.substr(at, semi == std::string_view::npos
                                                         ? std::string_view::npos
                                                         : semi - at));
      if (!rest.empty()) {
        *error = "connection string: \"" + rest + "\" has no '='";
        return false;
      }
      if (semi == std::string_view::npos) break;
      at = semi + 1;
      continue;
    }
    const std::string key = Trim(text.substr(at, eq - at));
    if (key.empty()) {
      *error = "connection string: a value without a key at offset " + std::to_string(at);
      return false;
    }
    size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::string value;
    if (v < text.size() && text[v] == '{') {
      size_t i = v + 1;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            value += '}';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        value += text[i++];
      }
      if (!closed) {
        *error = "connection string: the value of " + key + " has no closing '}'";
        return false;
      }
      const size_t end = text.find(';', i);
      if (!Trim(text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i))
               .empty()) {
        *error = "connection string: text after the braced value of " + key;
        return false;
      }
      at = end == std::string_view::npos ? text.size() : end + 1;
    } else {
      const size_t end = text.find(';', v);
      const size_t n = end == std::string_view::npos ? std::string_view::npos : end - v;
      value = Trim(text.substr(v, n));
      at = end == std::string_view::npos ? text.size() : end + 1;
    }
    if (FindKey(*keys, key) == nullptr) keys->emplace_back(key, value);
  }
  return true;
}

const std::string* FindKey(const ConnectionKeys& keys, std::string_view key) {
  for (const auto& [k, v] : keys) {
    if (SameKey(k, key)) return &v;
  }
  return nullptr;
}

namespace {

bool ParseFlag(const std::string& text, bool* flag) {
  static const char* const kOn[] = {"yes", "true", "on", "1"};
  static const char* const kOff[] = {"no", "false", "off", "0", ""};
  for (const char* w : kOn) {
    if (strcasecmp(text.c_str(), w) == 0) return *flag = true, true;
  }
  for (const char* w : kOff) {
    if (strcasecmp(text.c_str(), w) == 0) return *flag = false, true;
  }
  return false;
}

}  // namespace

bool ResolveTarget(const ConnectionKeys& keys, const ProfileLookup& lookup, sql::Target* target,
                   std::string* error) {
  const std::string* dsn = FindKey(keys, "DSN");
  // The string's own value first, then the DSN's entry; null when neither.
  auto value = [&](const char* key, std::string* out) {
    if (const std::string* v = FindKey(keys, key)) {
      *out = *v;
      return true;
    }
    if (dsn != nullptr && !dsn->empty() && lookup) {
      *out = lookup(*dsn, key);
      return !out->empty();
    }
    return false;
  };
  std::string v;
  if (value("Server", &v) && !v.empty()) target->host = v;
  if (value("Port", &v)) {
    char* end = nullptr;
    const long port = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || port < 1 || port > 65535) {
      *error = "Port \"" + v + "\" is not a port number (1 to 65535)";
      return false;
    }
    target->port = static_cast<uint16_t>(port);
  }
  if (value("Catalog", &v) && !v.empty()) target->catalog = v;
  if (value("Identity", &v)) {
    // FIRST or FIRST/SECOND: one or two identity names, no more.
    const size_t slash = v.find('/');
    if (slash == 0 || (slash != std::string::npos &&
                       (slash + 1 == v.size() || v.find('/', slash + 1) != std::string::npos))) {
      *error = "Identity \"" + v + "\" is not FIRST or FIRST/SECOND";
      return false;
    }
    target->identity = v;
  }
  if (value("UID", &v)) target->user = v;
  if (value("PWD", &v)) target->password = v;
  if (value("TLS", &v)) {
    bool on = false;
    if (!ParseFlag(v, &on)) {
      *error = "TLS \"" + v + "\" is neither yes nor no";
      return false;
    }
    target->tls.enabled = on;
  }
  if (value("CA", &v)) target->tls.ca_file = v;
  if (value("LockTimeout", &v)) {
    char* end = nullptr;
    const long ms = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || ms < 0 || ms > sql::kMaxLockTimeoutMs) {
      *error = "LockTimeout \"" + v + "\" is not a number of milliseconds (0 to " +
               std::to_string(sql::kMaxLockTimeoutMs) + ")";
      return false;
    }
    target->lock_timeout_ms = static_cast<int32_t>(ms);
  }
  if (value("Compression", &v)) {
    if (strcasecmp(v.c_str(), "none") == 0) {
      target->compression = CompressionChoiceOption::kNone;
    } else if (strcasecmp(v.c_str(), "rle") == 0) {
      target->compression = CompressionChoiceOption::kRunLength;
    } else if (strcasecmp(v.c_str(), "zlib") == 0) {
      target->compression = CompressionChoiceOption::kZlib;
    } else {
      *error = "Compression \"" + v + "\" is none of none, rle and zlib";
      return false;
    }
  }
  return true;
}

std::string ComposeConnectionString(const ConnectionKeys& keys) {
  std::string out;
  for (const auto& [k, v] : keys) {
    out += k + "=";
    const bool brace = v.find_first_of(";{}=") != std::string::npos ||
                       (!v.empty() && (v.front() == ' ' || v.back() == ' '));
    if (brace) {
      out += '{';
      for (char c : v) {
        out += c;
        if (c == '}') out += '}';
      }
      out += '}';
    } else {
      out += v;
    }
    out += ';';
  }
  return out;
}

}  // namespace tmb::odbc
