// Test support: a stand-in for libssl that forwards each function the server
// calls to the real libssl, so that the server can be shown a libssl that
// lacks a function, or one that is slow to make a TLS object.
//
// The real library is opened RTLD_LOCAL and this one has no DT_NEEDED entry
// for it: a dlsym on this library searches only itself and its own
// dependencies, so the function left out is really absent and cannot be
// found through the real library behind it. Built once per variant:
// TMB_WITHOUT_TLS_SERVER_METHOD or TMB_WITHOUT_SSL_PEEK leaves that function
// out; TMB_SLOW_SSL_NEW makes SSL_new wait before it forwards, which holds a
// session between its accept and its TLS object for as long as a test needs.
//
// The prototypes come from OpenSSL's own header, so a forwarder whose
// signature drifts from the real function fails to compile.
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

void* RealFunction(const char* name) {
  static void* const real_ssl = dlopen(TMB_REAL_SSL_LIB, RTLD_NOW | RTLD_LOCAL);
  void* fn = real_ssl != nullptr ? dlsym(real_ssl, name) : nullptr;
  if (fn == nullptr) {
    // A forwarder that cannot forward would make the server's failure look
    // like the function left out: stop at once instead.
    std::fprintf(stderr, "ssl_forwarder: %s not found in %s\n", name, TMB_REAL_SSL_LIB);
    std::abort();
  }
  return fn;
}

}  // namespace

// Each forwarder's target is resolved while the library is loaded (a
// dynamic initializer), so that the server's session threads only ever
// read it.
#define TMB_FORWARD(ret, name, params, args)                                              \
  namespace {                                                                             \
  ret(*const real_##name) params = reinterpret_cast<ret(*) params>(RealFunction(#name)); \
  }                                                                                       \
  extern "C" ret name params { return real_##name args; }

#ifndef TMB_WITHOUT_TLS_SERVER_METHOD
TMB_FORWARD(const SSL_METHOD*, TLS_server_method, (void), ())
#endif
TMB_FORWARD(SSL_CTX*, SSL_CTX_new, (const SSL_METHOD* method), (method))
TMB_FORWARD(int, SSL_CTX_use_certificate_chain_file, (SSL_CTX * context, const char* file),
            (context, file))
TMB_FORWARD(int, SSL_CTX_use_PrivateKey_file, (SSL_CTX * context, const char* file, int type),
            (context, file, type))
TMB_FORWARD(int, SSL_CTX_check_private_key, (const SSL_CTX* context), (context))
TMB_FORWARD(int, SSL_CTX_load_verify_locations,
            (SSL_CTX * context, const char* ca_file, const char* ca_path),
            (context, ca_file, ca_path))
TMB_FORWARD(void, SSL_CTX_free, (SSL_CTX * context), (context))
#ifdef TMB_SLOW_SSL_NEW
namespace {
SSL* (*const real_SSL_new)(SSL_CTX*) = reinterpret_cast<SSL* (*)(SSL_CTX*)>(RealFunction("SSL_new"));
}
extern "C" SSL* SSL_new(SSL_CTX* context) {
  usleep(300 * 1000);
  return real_SSL_new(context);
}
#else
TMB_FORWARD(SSL*, SSL_new, (SSL_CTX * context), (context))
#endif
TMB_FORWARD(int, SSL_set_fd, (SSL * ssl, int fd), (ssl, fd))
TMB_FORWARD(int, SSL_accept, (SSL * ssl), (ssl))
TMB_FORWARD(long, SSL_ctrl, (SSL * ssl, int command, long larg, void* parg),
            (ssl, command, larg, parg))
#ifndef TMB_WITHOUT_SSL_PEEK
TMB_FORWARD(int, SSL_peek, (SSL * ssl, void* buf, int num), (ssl, buf, num))
#endif
TMB_FORWARD(int, SSL_read, (SSL * ssl, void* buf, int num), (ssl, buf, num))
TMB_FORWARD(int, SSL_write, (SSL * ssl, const void* buf, int num), (ssl, buf, num))
TMB_FORWARD(int, SSL_get_error, (const SSL* ssl, int status), (ssl, status))
TMB_FORWARD(int, SSL_shutdown, (SSL * ssl), (ssl))
TMB_FORWARD(void, SSL_free, (SSL * ssl), (ssl))

#undef TMB_FORWARD
