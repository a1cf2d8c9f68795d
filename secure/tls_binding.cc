#include "secure/tls_binding.h"

#include <dlfcn.h>
#include <limits.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "diag/log.h"
#include "platform/loaded_module.h"

namespace tmb {
namespace {

// The data library whose directory holds the default OpenSSL files.
constexpr char kDataLibraryFile[] = "libtmbio.so";
constexpr char kCryptoDefault[] = "~/libcrypto.so.3";
constexpr char kSslDefault[] = "~/libssl.so.3";

// Written by LoadTlsLibraries before any connection thread exists, read by
// every resolution after it.
std::atomic<void*> crypto_library{nullptr};
std::atomic<void*> ssl_library{nullptr};

// The default provider as loaded. OpenSSL's clean-up at exit frees only the
// providers nobody holds, so this one is given back first (exit handlers
// run in reverse order, and OpenSSL registered its own during the load).
openssl::OSSL_PROVIDER* default_provider = nullptr;

void UnloadDefaultProvider() {
  if (default_provider != nullptr) {
    openssl::OSSL_PROVIDER_unload(std::exchange(default_provider, nullptr));
  }
}

enum class Owner { kCrypto, kSsl };

// A slot whose function could not be found holds this; it is never called
// and never looked up again.
void* const kUnresolved = reinterpret_cast<void*>(static_cast<uintptr_t>(1));

void* LoadLibrary(const char* default_name, const char* variable) {
  const std::string file = TlsLibraryFile(default_name, variable);
  // An empty name would make dlopen hand back the program itself, whose
  // global scope may well hold another copy of OpenSSL: it loads nothing.
  if (file.empty()) return nullptr;
  // RTLD_LOCAL: OpenSSL's names stay out of the process's global namespace,
  // so they never meet another copy of OpenSSL that something else pulled in.
  return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

// The function's address, or null once it is known to be missing. The
// first thread to find it missing writes the message; racing threads that
// find it store the same address.
void* Resolve(std::atomic<void*>& slot, Owner owner, const char* name) {
  void* fn = slot.load(std::memory_order_acquire);
  if (fn == kUnresolved) return nullptr;
  if (fn != nullptr) return fn;
  void* library = (owner == Owner::kSsl ? ssl_library : crypto_library).load();
  fn = library != nullptr ? dlsym(library, name) : nullptr;
  if (fn != nullptr) {
    slot.store(fn, std::memory_order_release);
    return fn;
  }
  void* expected = nullptr;
  if (slot.compare_exchange_strong(expected, kUnresolved)) {
    WriteLog("Could not locate entry point '%s' in %s library.\r\nLikely an incompatible SSL "
             "Interface.",
             name, owner == Owner::kSsl ? "libssl" : "libcrypto");
  }
  return nullptr;
}

}  // namespace

std::string TlsLibraryFile(const char* default_name, const char* variable) {
  if (const char* value = std::getenv(variable)) return value;
  if (default_name[0] != '~') return default_name;
  const std::string module = platform::LoadedModulePath(kDataLibraryFile);
  const size_t slash = module.rfind('/');
  if (slash == std::string::npos) return {};
  std::string path = module.substr(0, slash + 1) + (default_name + 2);
  if (path.size() >= PATH_MAX) return {};
  return path;
}

bool LoadTlsLibraries() {
  if (ssl_library.load() != nullptr) return true;
  void* crypto = LoadLibrary(kCryptoDefault, "TMB_CRYPTO_LIB");
  if (crypto == nullptr) {
    WriteLog("Unable to locate SSL library (libcrypto)");
    return false;
  }
  void* ssl = LoadLibrary(kSslDefault, "TMB_SSL_LIB");
  if (ssl == nullptr) {
    dlclose(crypto);
    WriteLog("Unable to locate SSL library (libssl)");
    return false;
  }
  crypto_library = crypto;
  ssl_library = ssl;
  default_provider = openssl::OSSL_PROVIDER_load(nullptr, "default");
  if (default_provider == nullptr) {
    WriteLog("Unable to load default SSL provider");
    return false;
  }
  std::atexit(UnloadDefaultProvider);
  return true;
}

namespace openssl {

// One slot per entry point. `failed` is what the wrapper gives when the
// function is missing: what the caller takes for a failed call.
#define TMB_TLS_ENTRY(owner, ret, name, failed, params, args)             \
  ret name params {                                                      \
    static std::atomic<void*> slot{nullptr};                             \
    using Fn = ret(*) params;                                            \
    void* fn = Resolve(slot, Owner::owner, #name);                       \
    if (fn == nullptr) return failed;                                    \
    return reinterpret_cast<Fn>(fn) args;                                \
  }
#define TMB_TLS_VOID_ENTRY(owner, name, params, args)                     \
  void name params {                                                     \
    static std::atomic<void*> slot{nullptr};                             \
    using Fn = void(*) params;                                           \
    void* fn = Resolve(slot, Owner::owner, #name);                       \
    if (fn != nullptr) reinterpret_cast<Fn>(fn) args;                    \
  }

TMB_TLS_ENTRY(kCrypto, OSSL_PROVIDER*, OSSL_PROVIDER_load, nullptr,
              (OSSL_LIB_CTX * context, const char* name), (context, name))
TMB_TLS_ENTRY(kCrypto, int, OSSL_PROVIDER_unload, 0, (OSSL_PROVIDER * provider), (provider))
TMB_TLS_ENTRY(kSsl, const SSL_METHOD*, TLS_server_method, nullptr, (), ())
TMB_TLS_ENTRY(kSsl, SSL_CTX*, SSL_CTX_new, nullptr, (const SSL_METHOD* method), (method))
TMB_TLS_ENTRY(kSsl, int, SSL_CTX_use_certificate_chain_file, 0,
              (SSL_CTX * context, const char* file), (context, file))
TMB_TLS_ENTRY(kSsl, int, SSL_CTX_use_PrivateKey_file, 0,
              (SSL_CTX * context, const char* file, int type), (context, file, type))
TMB_TLS_ENTRY(kSsl, int, SSL_CTX_check_private_key, 0, (const SSL_CTX* context), (context))
TMB_TLS_ENTRY(kSsl, int, SSL_CTX_load_verify_locations, 0,
              (SSL_CTX * context, const char* ca_file, const char* ca_path),
              (context, ca_file, ca_path))
TMB_TLS_VOID_ENTRY(kSsl, SSL_CTX_free, (SSL_CTX * context), (context))
TMB_TLS_ENTRY(kSsl, SSL*, SSL_new, nullptr, (SSL_CTX * context), (context))
TMB_TLS_ENTRY(kSsl, int, SSL_set_fd, 0, (SSL * ssl, int fd), (ssl, fd))
TMB_TLS_ENTRY(kSsl, int, SSL_accept, -1, (SSL * ssl), (ssl))
TMB_TLS_ENTRY(kSsl, long, SSL_ctrl, 0, (SSL * ssl, int command, long larg, void* parg),
              (ssl, command, larg, parg))
TMB_TLS_VOID_ENTRY(kCrypto, ERR_clear_error, (), ())
TMB_TLS_ENTRY(kSsl, int, SSL_peek, -1, (SSL * ssl, void* buf, int num), (ssl, buf, num))
TMB_TLS_ENTRY(kSsl, int, SSL_read, -1, (SSL * ssl, void* buf, int num), (ssl, buf, num))
TMB_TLS_ENTRY(kSsl, int, SSL_write, -1, (SSL * ssl, const void* buf, int num), (ssl, buf, num))
TMB_TLS_ENTRY(kSsl, int, SSL_get_error, SSL_ERROR_SSL, (const SSL* ssl, int status),
              (ssl, status))
TMB_TLS_ENTRY(kSsl, int, SSL_shutdown, -1, (SSL * ssl), (ssl))
TMB_TLS_VOID_ENTRY(kSsl, SSL_free, (SSL * ssl), (ssl))

#undef TMB_TLS_ENTRY
#undef TMB_TLS_VOID_ENTRY

}  // namespace openssl
}  // namespace tmb
