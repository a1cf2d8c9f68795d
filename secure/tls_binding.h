// The run-time binding of OpenSSL 3. The server does not link OpenSSL: when
// TLS is on it loads libcrypto and libssl by file name and reaches every
// OpenSSL function through an entry-point slot resolved by name on the
// function's first call. The wrappers below are the only way the server
// calls OpenSSL; each takes and returns what the OpenSSL function of the
// same name does.
//
// Where the libraries are found: the file named by TMB_CRYPTO_LIB or
// TMB_SSL_LIB, used verbatim when the variable is set; else libcrypto.so.3
// or libssl.so.3 in the directory of the loaded libtmbio.so. There is no
// fallback from one to the other, and a variable set to nothing names no
// library at all.
//
// A function missing from its library is logged once, two lines:
//   Could not locate entry point '<name>' in libssl library.
//   Likely an incompatible SSL Interface.
// and its wrapper then fails as the OpenSSL call fails (null for objects,
// 0 or -1 for counts and statuses, SSL_ERROR_SSL for SSL_get_error).
#pragma once

#include <cstddef>
#include <string>

// OpenSSL's own opaque types, named but never looked into.
struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;
struct ossl_provider_st;
struct ossl_lib_ctx_st;

namespace tmb {

// Loads both libraries and OpenSSL's default provider, once per process;
// the provider is unloaded again at exit.
// False (with one of these lines in the log) when:
//   "Unable to locate SSL library (libcrypto)"  nothing is left loaded
//   "Unable to locate SSL library (libssl)"     libcrypto is released again
//   "Unable to load default SSL provider"       both stay loaded
// Run before any connection exists; not safe against a concurrent call.
bool LoadTlsLibraries();

// The file LoadTlsLibraries loads for one library: the value of
// `variable` when it is set, else `default_name` in the directory of the
// loaded libtmbio.so. Empty when that directory cannot be found or the
// composed path would not fit the platform's path limit.
std::string TlsLibraryFile(const char* default_name, const char* variable);

namespace openssl {

using SSL = ssl_st;
using SSL_CTX = ssl_ctx_st;
using SSL_METHOD = ssl_method_st;
using OSSL_PROVIDER = ossl_provider_st;
using OSSL_LIB_CTX = ossl_lib_ctx_st;

// Values of OpenSSL's API that the callers pass or test.
constexpr int SSL_FILETYPE_PEM = 1;
constexpr int SSL_CTRL_MODE = 33;
constexpr long SSL_MODE_AUTO_RETRY = 4;
constexpr int SSL_ERROR_NONE = 0;
constexpr int SSL_ERROR_SSL = 1;
constexpr int SSL_ERROR_WANT_READ = 2;
constexpr int SSL_ERROR_SYSCALL = 5;
constexpr int SSL_ERROR_ZERO_RETURN = 6;

OSSL_PROVIDER* OSSL_PROVIDER_load(OSSL_LIB_CTX* context, const char* name);
int OSSL_PROVIDER_unload(OSSL_PROVIDER* provider);
const SSL_METHOD* TLS_server_method();
SSL_CTX* SSL_CTX_new(const SSL_METHOD* method);
int SSL_CTX_use_certificate_chain_file(SSL_CTX* context, const char* file);
int SSL_CTX_use_PrivateKey_file(SSL_CTX* context, const char* file, int type);
int SSL_CTX_check_private_key(const SSL_CTX* context);
int SSL_CTX_load_verify_locations(SSL_CTX* context, const char* ca_file, const char* ca_path);
void SSL_CTX_free(SSL_CTX* context);
SSL* SSL_new(SSL_CTX* context);
int SSL_set_fd(SSL* ssl, int fd);
int SSL_accept(SSL* ssl);
long SSL_ctrl(SSL* ssl, int command, long larg, void* parg);
void ERR_clear_error();
int SSL_peek(SSL* ssl, void* buf, int num);
int SSL_read(SSL* ssl, void* buf, int num);
int SSL_write(SSL* ssl, const void* buf, int num);
int SSL_get_error(const SSL* ssl, int status);
int SSL_shutdown(SSL* ssl);
void SSL_free(SSL* ssl);

}  // namespace openssl
}  // namespace tmb
