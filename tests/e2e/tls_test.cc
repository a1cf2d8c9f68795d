// TLS through the real binary: the server's set-up from its certificate
// setting, hand-shakes with real OpenSSL clients, and what a client that
// does not speak TLS gets.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"

namespace tmb::test {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A server whose certificate setting names `pem_text` written to a file of
// its own (or `pem_path` as given when the text is empty).
class TlsServerTest : public ::testing::Test {
 protected:
  // Starts the server with the certificate setting naming a file that
  // holds `pem`; `settings` are further lines of the settings key.
  bool StartWith(const std::string& pem, const std::string& settings = "") {
    const std::string path = server_.dir() + "/server.pem";
    if (!WriteTextFile(path, pem)) return false;
    return StartNaming(path, settings);
  }
  bool StartNaming(const std::string& path, const std::string& settings = "") {
    server_.machine_hive = MachineHive("\"SSL\"=\"" + path + "\"\n" + settings);
    return server_.Start();
  }
  std::string Log() const { return ReadFile(server_.dir() + "/tmbsqlsvr.log"); }
  void TearDown() override { EXPECT_EQ(server_.StopProblems(), ""); }

  ServerProcess server_;
};

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

// A stop that comes while accepted connections have yet to begin their
// hand-shake: the listener's TLS context, which each hand-shake starts
// from, stays until the sessions have ended, so the server exits cleanly.
TEST(TlsStopTest, StopWhileHandShakesAreAboutToStartExitsCleanly) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ServerProcess server;
    const std::string pem = server.dir() + "/server.pem";
    ASSERT_TRUE(WriteTextFile(pem, Certificates().ServerPem()));
    server.machine_hive = MachineHive("\"SSL\"=\"" + pem + "\"\n");
    ASSERT_TRUE(server.Start()) << server.Stderr();
    std::vector<std::unique_ptr<RawConnection>> waiting;
    for (int i = 0; i < 16; ++i) waiting.push_back(std::make_unique<RawConnection>(server.port()));
    EXPECT_EQ(server.StopProblems(), "");
  }
}

}  // namespace
}  // namespace tmb::test
