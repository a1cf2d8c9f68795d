// Connection strings and DSN entries: which server, catalog and identity a
// connection asks for. Contract:
//
// - ParseConnectionString reads "KEY=value;KEY={value; with ;}" pairs. Keys
//   compare without regard to case; a braced value may hold ';' and '=',
//   and "}}" inside braces stands for '}'. The first occurrence of a key
//   wins (what SQLDriverConnect promises). A key without '=', an empty key
//   or an unclosed brace is an error naming the place.
// - ResolveTarget fills a Target from the keys, falling back on the DSN's
//   entries (through `lookup`) for every key the string leaves out: Server,
//   Port (1 to 65535), Catalog, Identity (FIRST or FIRST/SECOND: the identity
//   names the server's access entries are looked up by), UID,
//   PWD, TLS (yes/no, true/false, on/off, 1/0) and CA (a PEM file of CA
//   certificates; when TLS is on and CA is empty, the system's are
//   trusted), Compression (none, rle or zlib: how message bodies are
//   coded; rle when absent) and LockTimeout (milliseconds, 0 to
//   sql::kMaxLockTimeoutMs, that a statement waits for what another client
//   holds; absent: the server's default). A value out of range is an error
//   naming the key.
// - ComposeConnectionString writes keys back in the form the parser reads,
//   bracing values that need it: SQLDriverConnect's completed string.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/sql/database.h"

namespace tmb::odbc {

// Key and value pairs in the order given, keys as written.
using ConnectionKeys = std::vector<std::pair<std::string, std::string>>;

bool ParseConnectionString(std::string_view text, ConnectionKeys* keys, std::string* error);

// The value of `key` (any case); null when absent.
const std::string* FindKey(const ConnectionKeys& keys, std::string_view key);

// The value a DSN's entry gives `key`, empty when it has none.
using ProfileLookup = std::function<std::string(const std::string& dsn, const std::string& key)>;

bool ResolveTarget(const ConnectionKeys& keys, const ProfileLookup& lookup, sql::Target* target,
                   std::string* error);

std::string ComposeConnectionString(const ConnectionKeys& keys);

}  // namespace tmb::odbc
