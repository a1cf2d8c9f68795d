// Settings read from the registry's settings key, current user first, then
// the machine. A missing setting is never an error: it takes its default.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tmb {

constexpr const char* kSettingsKey = "Software\\Orlane Systems\\SQL Server";
constexpr const char* kCatalogsKey = "Software\\Orlane Systems\\SQL Server\\Catalogs";

// Room for the certificate setting, terminator included.
constexpr uint32_t kCertificateSettingSize = 260;

constexpr int kDefaultClientSlots = 1024;
constexpr uint64_t kDefaultMaxMessageSize = 64ull << 20;

struct ServerLimits {
  int client_slots = kDefaultClientSlots;
  uint64_t max_message_size = kDefaultMaxMessageSize;
};

// "ClientSlots" (1 to 1024) and "MaxMessageSize" (bytes, at least 4096), each
// stored as text or as a dword. Out-of-range values are taken to the nearest
// bound; values that are not numbers leave the default.
ServerLimits ReadServerLimits();

// The "Port" value as text read as a decimal number and cut to 16 bits; 0
// when neither hive has it, which leaves the choice to the server's default
// (this layer does not know it). The first hive that holds the value wins
// even if it is no number (the port is then 0 as well).
uint16_t ReadListeningPort();

// The certificate setting: "SSL" of the settings key, current user first,
// into *setting when that is still empty. At most 259 characters; a longer
// value counts as absent. Stays empty (no TLS) when neither hive has it.
void ReadCertificateSetting(std::string* setting);

// Whether the catalog key opens under either hive.
bool CatalogsKeyExists();

// Reads a decimal number the way the C library's atoi does for well-formed
// input: leading white space, one sign, digits up to the first non-digit; no
// digits give 0. Longer numbers wrap instead of overflowing.
int32_t ParseDecimal(const char* text);

// What one client, or all of them together, may hold of the server. The
// per-address defaults leave room for a terminal server with a hundred users
// behind one address, each with a couple of connections and a client name;
// the total stays well inside the descriptors of one process.
constexpr int kDefaultMaxConnections = 4096;
constexpr int kDefaultMaxConnectionsPerAddress = 256;
constexpr int kDefaultClientSlotsPerAddress = 256;
constexpr int kDefaultFrameTimeoutSeconds = 30;
constexpr uint64_t kDefaultMaxRequestMemory = 1ull << 30;
constexpr int kMaxConnectionsBound = 1 << 20;

struct ClientLimits {
  int max_connections = kDefaultMaxConnections;
  int max_connections_per_address = kDefaultMaxConnectionsPerAddress;
  int client_slots_per_address = kDefaultClientSlotsPerAddress;
  int frame_timeout_seconds = kDefaultFrameTimeoutSeconds;
  uint64_t max_request_memory = kDefaultMaxRequestMemory;
};

// "MaxConnections" and "MaxConnectionsPerAddress" (1 to kMaxConnectionsBound),
// "ClientSlotsPerAddress" (1 to 1024), "FrameTimeout" (seconds, 1 to 3600)
// and "MaxRequestMemory" (bytes, at least twice `max_message_size`, so that
// a request of the largest size and its reply always fit), each stored as
// text or as a dword. Out-of-range values are taken to the nearest bound;
// values that are not numbers leave the default.
ClientLimits ReadClientLimits(uint64_t max_message_size);

constexpr int kDefaultSearchesPerConnection = 16;
constexpr int kMaxSearchesPerConnection = 1024;

// "SearchesPerConnection": the directory searches one connection may hold
// open at once, as text or dword, 0 to 1024 (0 turns searches off); out of
// range taken to the nearest bound, not a number the default. Read at every
// search, so a change counts without a restart.
int ReadSearchesPerConnection();

// "EnforceAccess", a dword or decimal text: a number other than 0 makes
// the access entries binding (secure/rights.h); 0, a missing value and one
// that is no number leave them advisory.
bool ReadEnforceAccess();

constexpr int32_t kDefaultMaxLockWaitMs = 30000;
// The data library's own bound on the process-wide lock wait: ten minutes.
constexpr int32_t kLongestLockWaitMs = 600000;

// "MaxLockWait", milliseconds as a dword or decimal text: the longest
// process-wide lock wait a client may set. Taken to kLongestLockWaitMs when
// larger; a value that is no number leaves the default.
int32_t ReadMaxLockWaitMs();

constexpr int kDefaultEnvironmentsPerConnection = 16;
constexpr int kMaxEnvironmentsPerConnection = 256;
constexpr int kDefaultFilesPerConnection = 256;
constexpr int kMaxFilesPerConnection = 4096;

// "EnvironmentsPerConnection" (1 to 256) and "FilesPerConnection" (1 to
// 4096): the environments, and the files open in them, that one connection
// may hold at once; text or dword, out of range taken to the nearest bound,
// not a number the default. Read at every allocation and open, so a change
// counts without a restart.
int ReadEnvironmentsPerConnection();
int ReadFilesPerConnection();

// An open transaction keeps its files' write right from every other
// connection, so a client that leaves one open and goes quiet must not hold
// it for ever; five minutes leave a person at a form room to finish.
constexpr int kDefaultTransactionIdleTimeoutSeconds = 300;
constexpr int kLongestTransactionIdleTimeoutSeconds = 86400;

// "TransactionIdleTimeout", seconds as a dword or decimal text, 1 to 86400:
// how long a connection with a transaction open may stay without sending a
// request. Out of range taken to the nearest bound; a value that is no
// number leaves the default.
int ReadTransactionIdleTimeoutSeconds();

// A TLS hand-shake ties up a thread and a socket of the server, so a client
// that connects and sends nothing is cut after this long.
constexpr int kDefaultTlsHandshakeTimeoutSeconds = 15;
constexpr int kLongestTlsHandshakeTimeoutSeconds = 300;

// "TlsHandshakeTimeout", seconds as a dword or decimal text, 1 to 300: how
// long a TLS connection may take over its hand-shake, and the listener over
// reading its certificate file. Out of range taken to the nearest bound; a
// value that is no number leaves the default.
int ReadTlsHandshakeTimeoutSeconds();

}  // namespace tmb
