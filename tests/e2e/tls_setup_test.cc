// TLS through the real binary, from the server's side: what each set-up
// failure logs and that the server then does not start, a libssl that lacks
// a function, a stop while a session is still making its TLS object, the
// hand-shake and frame time-outs, clients that do not speak TLS, and what a
// client's close leaves in the log.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/e2e/tls_server.h"
#include "wire/primitives.h"

namespace tmb::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

const Bytes kHelloReply = {0, 0};

std::string Dword(const char* name, uint32_t value) {
  char line[96];
  std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\r\n", name, value);
  return line;
}

// The two lines the binding writes for a function its library lacks.
std::string EntryPointMissing(const char* function, const char* library) {
  return std::string("Could not locate entry point '") + function + "' in " + library +
         " library.\r\nLikely an incompatible SSL Interface.\r\n";
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// True while the peer has neither closed nor reset the connection: nothing
// to read, and no end either.
bool StillOpen(int fd) {
  char byte;
  const ssize_t r = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// True when the peer ends the connection (close or reset) before
// `deadline`; bytes it sends first are read and dropped.
bool EndedBy(int fd, Clock::time_point deadline) {
  char chunk[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t r = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
  }
}

// The entries of a directory of /proc, such as a process's threads or its
// open descriptors.
int Entries(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

struct Footprint {
  int threads;
  int descriptors;
  bool operator==(const Footprint&) const = default;
};

Footprint FootprintOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return {Entries(proc + "/task"), Entries(proc + "/fd")};
}

// The footprint once it has stayed the same for half a second.
Footprint SettledFootprint(pid_t pid) {
  Footprint last = FootprintOf(pid);
  int same = 0;
  for (const auto end = Clock::now() + seconds(10); Clock::now() < end && same < 5;) {
    std::this_thread::sleep_for(milliseconds(100));
    const Footprint now = FootprintOf(pid);
    same = now == last ? same + 1 : 0;
    last = now;
  }
  return last;
}

// Whether the footprint comes back to `before` within `within`.
bool ReturnsTo(pid_t pid, const Footprint& before, milliseconds within) {
  for (const auto end = Clock::now() + within; Clock::now() < end;) {
    if (FootprintOf(pid) == before) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return FootprintOf(pid) == before;
}

::testing::AssertionResult SameFootprint(pid_t pid, const Footprint& before) {
  if (ReturnsTo(pid, before, seconds(5))) return ::testing::AssertionSuccess();
  const Footprint now = FootprintOf(pid);
  return ::testing::AssertionFailure()
         << "threads " << before.threads << " -> " << now.threads << ", descriptors "
         << before.descriptors << " -> " << now.descriptors;
}

// The first flight of a real TLS client: its ClientHello record.
Bytes ClientHello() {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                       SSL_CTX_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl.get(), in, out);  // the SSL object owns both now
  SSL_connect(ssl.get());           // stops, wanting the server's answer
  char* data = nullptr;
  const long n = BIO_get_mem_data(out, &data);
  return Bytes(data, data + n);
}

// A TLS client of the test CA, speaking frames.
class TlsClient {
 public:
  TlsClient(uint16_t port, const std::string& ca_file)
      : raw_(std::make_unique<RawConnection>(port)),
        ctx_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free),
        ssl_(nullptr, SSL_free) {
    SSL_CTX_load_verify_locations(ctx_.get(), ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), raw_->fd());
    SSL_set1_host(ssl_.get(), "localhost");
    connected_ = raw_->ok() && SSL_connect(ssl_.get()) == 1;
  }

  bool connected() const { return connected_; }

  bool Send(const Bytes& bytes) {
    return SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
  }

  // One whole frame's body; empty when the connection ends first.
  Bytes ReadBody() {
    uint8_t header[8];
    if (!ReadExactly(header, 8)) return {};
    Bytes body(LoadBigEndian32(header));
    if (!ReadExactly(body.data(), body.size())) return {};
    return body;
  }

  // Whether Hello is answered as it is in the clear.
  bool Served() { return connected_ && Send(Frame(1, 1, {41})) && ReadBody() == kHelloReply; }

  // True when the server ends the connection before `deadline`.
  bool EndedBy(Clock::time_point deadline) {
    char chunk[256];
    while (Clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      pollfd p{raw_->fd(), POLLIN, 0};
      if (SSL_pending(ssl_.get()) == 0 && poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      if (SSL_read(ssl_.get(), chunk, sizeof chunk) <= 0) return true;
    }
    return false;
  }

  // The client's close notice, then the socket's close.
  void CloseOrderly() {
    SSL_shutdown(ssl_.get());
    Drop();
  }
  // The socket's close alone, as when a client dies.
  void Drop() {
    ssl_.reset();
    raw_.reset();
  }

 private:
  bool ReadExactly(uint8_t* dest, size_t n) {
    for (size_t got = 0; got < n;) {
      const int r = SSL_read(ssl_.get(), dest + got, static_cast<int>(n - got));
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  std::unique_ptr<RawConnection> raw_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_;
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
  bool connected_ = false;
};

// A TLS server with the test CA written beside it for its clients.
class TlsSetUpTest : public TlsServerTest {
 protected:
  bool StartServing(const std::string& settings = "") {
    if (!WriteTextFile(CaFile(), Certificates().ca.certificate)) return false;
    return StartWith(Certificates().ServerPem(), settings);
  }
  std::string CaFile() const { return server_.dir() + "/ca.pem"; }
  std::unique_ptr<TlsClient> Client() {
    return std::make_unique<TlsClient>(server_.port(), CaFile());
  }
  // A served client, then one that is no TLS client: afterwards every lazy
  // part of OpenSSL is loaded and the log file is open, so that what a test
  // compares against stays put.
  void WarmUp() {
    ASSERT_TRUE(Client()->Served());
    RawConnection plain(server_.port());
    plain.SendPlain({41});
    EXPECT_TRUE(EndedBy(plain.fd(), Clock::now() + seconds(5)));
  }
};

// ---------------------------------------------------------------------------
// Set-up: each failure writes its line and the server does not start.

enum class Pem {
  kAbsent,
  kKeyOnly,
  kCertificateOnly,
  kKeyOfAnother,      // an RSA key, as the certificate's, but not its own
  kKeyOfAnotherType,  // an EC key beside the RSA certificate
  kNeverReadable,     // a FIFO that nobody writes: its read never ends
  kComplete,
};

struct SetUpFailure {
  const char* name;
  Pem pem;
  const char* variable;  // the library variable set, or none
  const char* library;   // its value; null: a file that does not exist
  std::string settings;  // further lines of the settings key
  std::string log;       // the whole log
};

// Names the case in the test's output.
void PrintTo(const SetUpFailure& f, std::ostream* out) { *out << f.name; }

// What every log file starts with.
const std::string kLogHeader = "\r\nOpened Log file\r\n";

std::string EcKeyPem() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free_all)> bio(BIO_new(BIO_s_mem()), BIO_free_all);
  if (!key || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1) {
    return {};
  }
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

std::string PemText(Pem pem) {
  const TestCertificates& c = Certificates();
  switch (pem) {
    case Pem::kKeyOnly:
      return c.server.key;
    case Pem::kCertificateOnly:
      return c.server.certificate + c.ca.certificate;
    case Pem::kKeyOfAnother:
      return c.server.certificate + c.other_key + c.ca.certificate;
    case Pem::kKeyOfAnotherType:
      return c.server.certificate + EcKeyPem() + c.ca.certificate;
    default:
      return c.ServerPem();
  }
}

class TlsSetUpFailureTest : public TlsServerTest,
                            public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(TlsSetUpFailureTest, LogsItsLineAndTheServerDoesNotStart) {
  const SetUpFailure& f = GetParam();
  // A missing library must fail by its variable: the default file is there.
  ASSERT_EQ(access(TMB_DATA_LIBRARY_DIR "/libcrypto.so.3", R_OK), 0);
  ASSERT_EQ(access(TMB_DATA_LIBRARY_DIR "/libssl.so.3", R_OK), 0);
  if (f.variable != nullptr) {
    const std::string file = f.library != nullptr ? f.library : server_.dir() + "/absent.so.3";
    server_.env.push_back(std::string(f.variable) + "=" + file);
  }
  bool started;
  if (f.pem == Pem::kAbsent) {
    started = StartNaming(server_.dir() + "/absent.pem", f.settings);
  } else if (f.pem == Pem::kNeverReadable) {
    const std::string fifo = server_.dir() + "/server.pem";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    started = StartNaming(fifo, f.settings);
  } else {
    started = StartWith(PemText(f.pem), f.settings);
  }
  ASSERT_FALSE(started);
  EXPECT_EQ(server_.pid(), -1);  // ended on its own, not still trying
  EXPECT_NE(server_.exit_code(), 0);
  EXPECT_EQ(Log(), kLogHeader + f.log);
  EXPECT_EQ(server_.Stderr(), "Tamblo SQL Server Error: Unable to open socket " +
                                  std::to_string(server_.port()) +
                                  ". Another process may be using it.\n"
                                  "Tamblo SQL Server Error: Unable to start Tamblo SQL Server\n");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TlsSetUpFailureTest,
    ::testing::Values(
        SetUpFailure{"MissingFile", Pem::kAbsent, nullptr, nullptr, "",
                     "Can not find certificate file\r\n"},
        SetUpFailure{"KeyWithoutCertificate", Pem::kKeyOnly, nullptr, nullptr, "",
                     "Can not use certificate on file\r\n"},
        SetUpFailure{"CertificateWithoutKey", Pem::kCertificateOnly, nullptr, nullptr, "",
                     "Can not use PrivateKey\r\n"},
        // OpenSSL itself refuses a key that cannot be the certificate's own
        // when it is of the certificate's type...
        SetUpFailure{"KeyOfAnotherCertificate", Pem::kKeyOfAnother, nullptr, nullptr, "",
                     "Can not use PrivateKey\r\n"},
        // ...and takes one of another type, which the check then finds
        // without its certificate.
        SetUpFailure{"KeyOfAnotherType", Pem::kKeyOfAnotherType, nullptr, nullptr, "",
                     "Private key does not match the certificate\r\n"},
        SetUpFailure{"CryptoLibraryMissing", Pem::kComplete, "TMB_CRYPTO_LIB", nullptr, "",
                     "Unable to locate SSL library (libcrypto)\r\n"},
        SetUpFailure{"SslLibraryMissing", Pem::kComplete, "TMB_SSL_LIB", nullptr, "",
                     "Unable to locate SSL library (libssl)\r\n"},
        SetUpFailure{"SslWithoutServerMethod", Pem::kComplete, "TMB_SSL_LIB",
                     TMB_SSL_WITHOUT_SERVER_METHOD, "",
                     EntryPointMissing("TLS_server_method", "libssl") +
                         "Unable to define Server methods\r\n"},
        // A read of the file that never ends fails the start when the
        // hand-shake time-out passes, rather than holding it for ever.
        SetUpFailure{"CertificateFileNeverRead", Pem::kNeverReadable, nullptr, nullptr,
                     Dword("TlsHandshakeTimeout", 1), "Can not use certificate on file\r\n"}),
    [](const ::testing::TestParamInfo<SetUpFailure>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Stand-ins for libssl: one that lacks a function, one slow to make a TLS
// object.

// What the tests below rely on: each stand-in lacks the function it leaves
// out, even to a process that has the real libssl loaded, and has every other.
TEST(SslStandInTest, EachLacksOnlyWhatItLeavesOut) {
  const char* const server_calls[] = {
      "TLS_server_method", "SSL_CTX_new", "SSL_CTX_use_certificate_chain_file",
      "SSL_CTX_use_PrivateKey_file", "SSL_CTX_check_private_key",
      "SSL_CTX_load_verify_locations", "SSL_CTX_free", "SSL_new", "SSL_set_fd", "SSL_accept",
      "SSL_ctrl", "SSL_peek", "SSL_read", "SSL_write", "SSL_get_error", "SSL_shutdown",
      "SSL_free"};
  ASSERT_NE(dlsym(RTLD_DEFAULT, "SSL_peek"), nullptr);  // this process has the real one
  const struct {
    const char* file;
    std::string lacks;
  } stand_ins[] = {{TMB_SSL_WITHOUT_SERVER_METHOD, "TLS_server_method"},
                   {TMB_SSL_WITHOUT_PEEK, "SSL_peek"},
                   {TMB_SSL_SLOW_NEW, ""}};
  for (const auto& s : stand_ins) {
    SCOPED_TRACE(s.file);
    void* library = dlopen(s.file, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : server_calls) {
      EXPECT_EQ(dlsym(library, name) == nullptr, s.lacks == name) << name;
    }
    dlclose(library);
  }
}

TEST_F(TlsSetUpTest, SslWithoutPeekServesRequestsAndLogsTheMissingFunctionOnce) {
  server_.env.push_back(std::string("TMB_SSL_LIB=") + TMB_SSL_WITHOUT_PEEK);
  ASSERT_TRUE(StartServing()) << server_.Stderr();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    auto client = Client();
    ASSERT_TRUE(client->connected());
    EXPECT_TRUE(client->Served());
    EXPECT_TRUE(client->Served());
  }
  const std::string log = Log();
  EXPECT_EQ(Occurrences(log, EntryPointMissing("SSL_peek", "libssl")), 1u) << log;
  EXPECT_EQ(Occurrences(log, "Could not locate"), 1u) << log;
}

// ---------------------------------------------------------------------------
// The hand-shake time-out.

TEST_F(TlsSetUpTest, HandShakeTimeOutCutsSilentAndHalfHelloClientsAndLeavesNothingBehind) {
  ASSERT_TRUE(StartServing(Dword("TlsHandshakeTimeout", 1))) << server_.Stderr();
  WarmUp();
  const Footprint before = SettledFootprint(server_.pid());
  ASSERT_GT(before.threads, 0);
  ASSERT_GT(before.descriptors, 0);

  const Bytes hello = ClientHello();
  ASSERT_GT(hello.size(), 10u);
  const auto start = Clock::now();
  RawConnection silent(server_.port());
  RawConnection half(server_.port());
  ASSERT_TRUE(silent.ok() && half.ok());
  half.Send(Bytes(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(hello.size() / 2)));
  // Their hand-shakes hold threads and sockets while they wait...
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(StillOpen(silent.fd()));
  EXPECT_TRUE(StillOpen(half.fd()));
  const Footprint waiting = FootprintOf(server_.pid());
  EXPECT_GT(waiting.threads, before.threads);
  EXPECT_GT(waiting.descriptors, before.descriptors);
  // ...a client that completes meanwhile is served...
  EXPECT_TRUE(Client()->Served());
  // ...and both are cut after about a second, with everything they held.
  EXPECT_TRUE(EndedBy(silent.fd(), start + seconds(4)));
  EXPECT_GE(Clock::now() - start, milliseconds(900));
  EXPECT_TRUE(EndedBy(half.fd(), start + seconds(4)));
  EXPECT_TRUE(SameFootprint(server_.pid(), before));
}

// The one slow test: the default, with nothing set, is 15 seconds.
TEST_F(TlsSetUpTest, DefaultHandShakeTimeOutIsFifteenSeconds) {
  ASSERT_TRUE(StartServing()) << server_.Stderr();
  const auto start = Clock::now();
  RawConnection silent(server_.port());
  ASSERT_TRUE(silent.ok());
  EXPECT_FALSE(EndedBy(silent.fd(), start + seconds(13)));
  EXPECT_TRUE(StillOpen(silent.fd()));
  EXPECT_TRUE(EndedBy(silent.fd(), start + seconds(20)));
}

// A session accepted just before the stop may not have made its TLS object
// when the listener closes: the stand-in's SSL_new waits 300 ms, so the stop
// comes in between, and the listener's context must still be there.
TEST_F(TlsSetUpTest, StopWhileASessionMakesItsTlsObjectIsClean) {
  server_.env.push_back(std::string("TMB_SSL_LIB=") + TMB_SSL_SLOW_NEW);
  ASSERT_TRUE(StartServing()) << server_.Stderr();
  RawConnection client(server_.port());
  ASSERT_TRUE(client.ok());
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(server_.StopProblems(), "");
}

// ---------------------------------------------------------------------------
// Clients that do not speak TLS, time within a frame, and closes.

TEST_F(TlsSetUpTest, PlainClientsGetNothingInTheClear) {
  ASSERT_TRUE(StartServing()) << server_.Stderr();
  RawConnection frame(server_.port());
  frame.SendPlain({41});
  EXPECT_EQ(frame.ReadFrame(), Bytes{});
  EXPECT_TRUE(EndedBy(frame.fd(), Clock::now() + seconds(5)));

  RawConnection browser(server_.port());
  const std::string get = "GET / HTTP/1.0\r\n\r\n";
  browser.Send(Bytes(get.begin(), get.end()));
  const Bytes answer = browser.ReadAll();
  EXPECT_EQ(std::string(answer.begin(), answer.end()).find("HTTP/"), std::string::npos);
  EXPECT_TRUE(EndedBy(browser.fd(), Clock::now() + seconds(5)));

  // The server itself goes on serving TLS clients.
  EXPECT_TRUE(Client()->Served());
}

TEST_F(TlsSetUpTest, FrameTimeOutHoldsOverTls) {
  ASSERT_TRUE(StartServing(Dword("FrameTimeout", 1))) << server_.Stderr();
  auto client = Client();
  ASSERT_TRUE(client->connected());
  ASSERT_TRUE(client->Served());
  const auto start = Clock::now();
  ASSERT_TRUE(client->Send({0, 0, 0, 1}));  // half a frame header
  EXPECT_TRUE(client->EndedBy(start + seconds(5)));
  EXPECT_GE(Clock::now() - start, milliseconds(900));

  // A client that only waits between frames is not cut.
  auto idle = Client();
  ASSERT_TRUE(idle->connected());
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_TRUE(idle->Served());
}

// A client's close notice ends its session without a line in the log. A
// client that drops the connection after the hand-shake without one is
// logged as failed reads (with OpenSSL 3 on Linux "SSL Chkerror socket N sts
// 0 yields 1", then "... sts -1 yields 5" for the read after it); only that
// whatever it logs is such lines, and that the server serves on, is checked.
TEST_F(TlsSetUpTest, OrderlyCloseLeavesNoLineInTheLog) {
  ASSERT_TRUE(StartServing()) << server_.Stderr();
  WarmUp();
  const Footprint before = SettledFootprint(server_.pid());
  const std::string log = Log();

  auto orderly = Client();
  ASSERT_TRUE(orderly->Served());
  orderly->CloseOrderly();
  EXPECT_TRUE(SameFootprint(server_.pid(), before));
  EXPECT_EQ(Log(), log);

  auto abrupt = Client();
  ASSERT_TRUE(abrupt->Served());
  abrupt->Drop();
  EXPECT_TRUE(SameFootprint(server_.pid(), before));
  const std::string after = Log();
  ASSERT_EQ(after.compare(0, log.size(), log), 0);
  for (size_t at = log.size(); at < after.size();) {
    const size_t end = after.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(after.compare(at, 20, "SSL Chkerror socket "), 0) << after.substr(at, end - at);
    at = end + 2;
  }
  EXPECT_TRUE(Client()->Served());
}

}  // namespace
}  // namespace tmb::test
