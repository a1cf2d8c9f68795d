// TLS through the real binary: the server's set-up from its certificate
// setting, hand-shakes with real OpenSSL clients (the client library,
// tmbcli, the openssl tool, Python's ssl module), what each client verifies,
// and how a connection ends.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "client/session_calls.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/e2e/tls_server.h"
#include "wire/opcodes.h"

namespace tmb::test {
namespace {

// Bodies both codecs shorten, and bodies neither can.
Bytes Sparse(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i % 7 == 0 ? i : 0);
  return b;
}
Bytes Noise(size_t size) {
  Bytes b(size);
  uint32_t state = 12345;
  for (uint8_t& byte : b) {
    state = state * 1103515245 + 12345;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return b;
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

// Echo through the client library: the reply body is the payload.
bool Echo(Client& client, const Bytes& payload, Bytes* reply, std::string* error) {
  client.BeginRequest(opcode::kEcho);
  for (int i = 0; i < 7; ++i) PutByte(client.request(), 0);
  for (uint8_t byte : payload) PutByte(client.request(), byte);
  if (!client.Call(error)) return false;
  reply->assign(client.reply().data(), client.reply().data() + client.reply().length());
  return true;
}

bool Hello(Client& client, std::string* error) {
  int16_t code = -1;
  return CallHello(client, &code, error) && code == 0;
}

// The shared TLS server fixture with the clients of these tests: the status
// page over a raw OpenSSL client, tmbcli and the openssl and python tools.
class TlsClientTest : public TlsServerTest {
 protected:
  // ServerProcess::Start knows the server is up when a plain connection is
  // taken, which it closes at once; the server logs that failed hand-shake a
  // moment later. The log from then on is the log of the test's own
  // connections (empty when the line never comes within 5 seconds).
  std::string LogAfterTheReadinessProbe() const {
    for (int i = 0; i < 250; ++i) {
      const std::string log = Log();
      if (log.find("SSL Chkerror") != std::string::npos) return log;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }
  // A file holding `pem`, named after `name` in the server's directory.
  std::string FileOf(const std::string& name, const std::string& pem) {
    const std::string path = server_.dir() + "/" + name;
    EXPECT_TRUE(WriteTextFile(path, pem));
    return path;
  }
  std::string CaFile() { return FileOf("ca.pem", Certificates().ca.certificate); }

  // The status page, fetched over TLS verified against the test CA.
  std::string StatusPage() {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                         SSL_CTX_free);
    if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), CaFile().c_str(), nullptr) != 1) {
      return "no TLS context";
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    RawConnection raw(server_.port());
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    if (!raw.ok() || !ssl) return "no connection";
    SSL_set_fd(ssl.get(), raw.fd());
    SSL_set1_host(ssl.get(), "localhost");
    if (SSL_connect(ssl.get()) != 1) {
      return std::string("hand-shake failed: ") + ERR_error_string(ERR_get_error(), nullptr);
    }
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    if (SSL_write(ssl.get(), get.data(), static_cast<int>(get.size())) !=
        static_cast<int>(get.size())) {
      return "request not sent";
    }
    std::string page;
    char chunk[4096];
    for (int n; (n = SSL_read(ssl.get(), chunk, sizeof chunk)) > 0;) page.append(chunk, n);
    SSL_shutdown(ssl.get());
    return page;
  }

  // Polls the status page until it shows `count` client slots in use; false
  // when it still does not after 5 seconds. A session gives its slot back
  // only after its last read, so by then whatever that read logged is in
  // the log.
  bool SlotsInUseBecome(int count) {
    const std::string shown = "slots in use : " + std::to_string(count) + "<";
    for (int i = 0; i < 250; ++i) {
      if (StatusPage().find(shown) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Runs a shell command line; its standard output and error are kept.
  struct Run {
    int code = -1;
    std::string out;
    std::string err;
  };
  Run Shell(const std::string& command) {
    const std::string out = server_.dir() + "/run.out", err = server_.dir() + "/run.err";
    const int status = std::system((command + " >'" + out + "' 2>'" + err + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
  }
  Run Cli(const std::vector<std::string>& args) {
    std::string command = "'" + std::string(TMB_CLI_BIN) + "' --port " + Port();
    for (const std::string& a : args) command += " '" + a + "'";
    return Shell(command + " </dev/null");
  }
  std::string Port() const { return std::to_string(server_.port()); }
};

TEST_F(TlsClientTest, StatusPageIsServedOverTlsAndVerifiesAgainstTheCa) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const std::string page = StatusPage();
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\n", 0), 0u) << page;
  EXPECT_NE(page.find("(Secure)"), std::string::npos);
}

// The client library in both codecs: bodies from a few bytes to many TLS
// records (16 KiB each) go out and come back whole, coded where the codec
// shortens them and plain where it cannot.
TEST_F(TlsClientTest, ClientLibraryEchoesOverTlsInBothCodecs) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const ClientTls tls{.enabled = true, .ca_file = CaFile()};
  for (const auto choice : {CompressionChoiceOption::kRunLength, CompressionChoiceOption::kZlib}) {
    const bool zlib = choice == CompressionChoiceOption::kZlib;
    SCOPED_TRACE(zlib ? "zlib" : "run-length");
    Client client;
    std::string error;
    ASSERT_TRUE(client.Connect("localhost", server_.port(), tls, &error)) << error;
    EXPECT_TRUE(client.secure());
    bool granted_zlib = false;
    ASSERT_TRUE(OpenWithCompression(client, choice, &granted_zlib, &error)) << error;
    ASSERT_EQ(granted_zlib, zlib);
    for (const Bytes& payload :
         {Sparse(10), Sparse(4096), Sparse(70000), Sparse(200 * 1024), Noise(200 * 1024)}) {
      SCOPED_TRACE(payload.size());
      Bytes reply;
      ASSERT_TRUE(Echo(client, payload, &reply, &error)) << error;
      EXPECT_EQ(reply, payload);
    }
    EXPECT_TRUE(Hello(client, &error)) << error;
  }
}

// What the client library verifies: the chain against the CA it is given,
// and the name it connected with against the certificate (a DNS name for a
// host name, an IP address for an address literal). 127.0.0.2 reaches the
// loopback listener but is not in the certificate. With verification off,
// both are accepted.
TEST_F(TlsClientTest, ClientLibraryRefusesAnUnknownCaAndANameNotInTheCertificate) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const std::string ca = CaFile();
  const std::string other_ca = FileOf("other-ca.pem", Certificates().other_ca.certificate);
  std::string error;
  struct Case {
    const char* host;
    ClientTls tls;
    const char* refused_for;  // null: accepted
  };
  const Case cases[] = {
      {"localhost", {.enabled = true, .ca_file = ca}, nullptr},
      {"127.0.0.1", {.enabled = true, .ca_file = ca}, nullptr},
      // The server sends its CA along, which the client does not trust.
      {"localhost", {.enabled = true, .ca_file = other_ca},
       "certificate verify failed (the server's certificate was refused: self-signed "
       "certificate in certificate chain)"},
      {"127.0.0.2", {.enabled = true, .ca_file = ca},
       "certificate verify failed (the server's certificate was refused: IP address mismatch)"},
      {"127.0.0.2", {.enabled = true, .ca_file = other_ca, .verify = false}, nullptr},
      {"localhost", {.enabled = true, .ca_file = "", .verify = false}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " trusting " + c.tls.ca_file);
    Client client;
    const bool connected = client.Connect(c.host, server_.port(), c.tls, &error);
    if (c.refused_for == nullptr) {
      ASSERT_TRUE(connected) << error;
      EXPECT_TRUE(client.secure());
      EXPECT_TRUE(Hello(client, &error)) << error;
    } else {
      EXPECT_FALSE(connected);
      EXPECT_FALSE(client.connected());
      EXPECT_EQ(error, std::string("TLS hand-shake with ") + c.host + " failed: " + c.refused_for);
    }
  }

  // A CA file that cannot be read is reported before any connection is
  // tried: here nothing listens on the port at all.
  Client client;
  const std::string missing = server_.dir() + "/missing.pem";
  EXPECT_FALSE(client.Connect("localhost", FreePort(), {.enabled = true, .ca_file = missing},
                              &error));
  EXPECT_EQ(error.rfind("TLS: cannot read CA certificates from " + missing + ": ", 0), 0u)
      << error;
  // Without TLS the server reads the hand-shake it expects from the first
  // request, which is no hand-shake: the connection ends unanswered.
  ASSERT_TRUE(client.Connect("127.0.0.1", server_.port(), &error)) << error;
  EXPECT_FALSE(Hello(client, &error));
  EXPECT_FALSE(client.connected());
}

// Client::Close sends the close notice, so the server sees an orderly end
// and logs nothing; a connection that ends without one is logged, which
// shows that the comparison would see it. Writing to a socket the client
// itself shut down (the call's send and Close's notice) fails the call and
// raises no SIGPIPE, which would end this test program.
TEST_F(TlsClientTest, ClientCloseIsOrderlyAndAGoneConnectionFailsWithoutASignal) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const ClientTls tls{.enabled = true, .ca_file = CaFile()};
  // Each client holds a slot by its name until its session has ended.
  auto identified = [&](Client& client, const char* name) {
    std::string error;
    IdentifyRequest request;
    request.client_name = name;
    int16_t code = 0;
    return client.Connect("localhost", server_.port(), tls, &error) && Hello(client, &error) &&
           CallIdentifyClient(client, request, &code, &error) && code != -2;
  };
  const std::string before = LogAfterTheReadinessProbe();

  Client orderly;
  ASSERT_TRUE(identified(orderly, "orderly"));
  ASSERT_TRUE(SlotsInUseBecome(1));
  orderly.Close();
  EXPECT_FALSE(orderly.connected());
  ASSERT_TRUE(SlotsInUseBecome(0));
  EXPECT_EQ(Log(), before);

  Client closed_under_notice, closed_under_call;
  ASSERT_TRUE(identified(closed_under_notice, "gone-1"));
  ASSERT_TRUE(identified(closed_under_call, "gone-2"));
  ASSERT_TRUE(SlotsInUseBecome(2));
  ASSERT_EQ(shutdown(closed_under_notice.connection().fd, SHUT_RDWR), 0);
  ASSERT_EQ(shutdown(closed_under_call.connection().fd, SHUT_RDWR), 0);
  closed_under_notice.Close();
  std::string error;
  closed_under_call.BeginRequest(opcode::kHello);
  EXPECT_FALSE(closed_under_call.Call(&error));
  EXPECT_EQ(error, "cannot send the request");
  EXPECT_FALSE(closed_under_call.connected());
  ASSERT_TRUE(SlotsInUseBecome(0));
  const std::string after = Log();
  ASSERT_GT(after.size(), before.size());
  EXPECT_EQ(after.compare(0, before.size(), before), 0);
  EXPECT_NE(after.find("SSL Chkerror socket", before.size()), std::string::npos) << after;
}

// tmbcli as a person would run it: with --ca it talks to the server over
// TLS; without TLS, or trusting only the system's CAs, or naming the server
// by an address its certificate lacks, it is refused; --insecure connects
// all the same and says so.
TEST_F(TlsClientTest, TmbcliTalksTlsWithItsCaAndIsRefusedWithoutIt) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const std::string ca = CaFile();
  Run r = Cli({"--ca", ca, "ping"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" ms (compression rle, TLS)\n"), std::string::npos) << r.out;
  r = Cli({"--host", "localhost", "--compress", "zlib", "catalogs", "--ca=" + ca});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("catalog default on localhost:" + Port() + "\n", 0), 0u) << r.out;
  r = Cli({"--insecure", "--host", "127.0.0.2", "ping"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" ms (compression rle, TLS unverified)\n"), std::string::npos) << r.out;

  r = Cli({"--tls", "ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("tmbcli: TLS hand-shake with 127.0.0.1 failed: certificate verify failed "
                       "(the server's certificate was refused: self-signed certificate in "
                       "certificate chain)\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("--ca names the CA"), std::string::npos) << r.err;
  r = Cli({"--ca", ca, "--host", "127.0.0.2", "ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("IP address mismatch"), std::string::npos) << r.err;
  r = Cli({"ping"});
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("(one with TLS needs --tls or --ca)"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// Clients that share no code with the server's: the openssl tool verifies
// the chain the server sends, and Python's ssl module, after the hand-shake,
// opens the connection with Hello and gets its echo back byte for byte.
TEST_F(TlsClientTest, OpensslToolAndPythonSslCompleteHandShakesWithTheServer) {
  ASSERT_TRUE(StartWith(Certificates().ServerPem()));
  const std::string ca = CaFile();
  Run r = Shell("openssl s_client -connect 127.0.0.1:" + Port() + " -servername localhost " +
                "-verify_hostname localhost -verify_return_error -CAfile '" + ca + "' </dev/null");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Verify return code: 0 (ok)"), std::string::npos) << r.out;

  // Hello opens the connection (an echo before it would be refused); each
  // reply is read as a plain frame, which the server sends when coding
  // would not shorten the body.
  const std::string script = FileOf("echo.py", R"(import socket, ssl, struct, sys
def frame(body): return struct.pack(">II", len(body), len(body)) + body
def read_frame(s):
    data = b""
    while len(data) < 8 or len(data) < 8 + struct.unpack(">I", data[:4])[0]:
        more = s.recv(65536)
        if not more: sys.exit("closed within a frame")
        data += more
    n, u = struct.unpack(">II", data[:8])
    if n != u: sys.exit("coded reply")
    return data[8:]
context = ssl.create_default_context(cafile=sys.argv[2])
with context.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[1]))),
                         server_hostname="localhost") as s:
    s.sendall(frame(bytes([41])))
    hello = read_frame(s)
    s.sendall(frame(bytes([16, 1, 2, 3, 4, 5, 6, 7]) + bytes.fromhex(sys.argv[3])))
    print(hello.hex(), read_frame(s).hex())
    s.unwrap()
)");
  Bytes payload(300);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 37 + 1);
  r = Shell("/usr/bin/python3 '" + script + "' " + Port() + " '" + ca + "' " + Hex(payload));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "0000 " + Hex(payload) + "\n") << r.err;
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
