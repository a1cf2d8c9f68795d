// TLS through the real binary: the server's set-up from its certificate
// setting, hand-shakes with real OpenSSL clients, and what a client that
// does not speak TLS gets.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/e2e/tls_server.h"

namespace tmb::test {
namespace {

TEST_F(TlsServerTest, StatusPageIsServedOverTlsAndVerifiesAgainstTheCa) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const std::string ca = server_.dir() + "/ca.pem";
  ASSERT_TRUE(WriteTextFile(ca, Certificates().ca.certificate));

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                       SSL_CTX_free);
  ASSERT_TRUE(ctx);
  ASSERT_EQ(SSL_CTX_load_verify_locations(ctx.get(), ca.c_str(), nullptr), 1);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  RawConnection raw(server_.port());
  ASSERT_TRUE(raw.ok());
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  SSL_set_fd(ssl.get(), raw.fd());
  SSL_set1_host(ssl.get(), "localhost");
  ASSERT_EQ(SSL_connect(ssl.get()), 1) << ERR_error_string(ERR_get_error(), nullptr);
  const std::string get = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(SSL_write(ssl.get(), get.data(), static_cast<int>(get.size())),
            static_cast<int>(get.size()));
  std::string page;
  char chunk[4096];
  for (int n; (n = SSL_read(ssl.get(), chunk, sizeof chunk)) > 0;) page.append(chunk, n);
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\n", 0), 0u) << page;
  EXPECT_NE(page.find("(Secure)"), std::string::npos);
}

}  // namespace
}  // namespace tmb::test
