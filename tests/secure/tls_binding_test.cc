// The run-time binding of OpenSSL in this process, which has the data
// library loaded as the server has: where it looks for the libraries, and
// that it loads them from the build tree and reaches their functions.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "secure/tls_binding.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

std::string WorkingDirectory() {
  char path[PATH_MAX];
  return getcwd(path, sizeof path) != nullptr ? path : "";
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  const std::string program(path, static_cast<size_t>(n));
  return program.substr(0, program.rfind('/'));
}

// Runs the test from another working directory and gives the original back.
class TlsBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(QDGetEnvMode(nullptr, TMBIO_MODE_VERSION), TMBIO_MIN_VERSION);  // loaded
    unsetenv("TMB_CRYPTO_LIB");
    unsetenv("TMB_SSL_LIB");
    ASSERT_EQ(chdir("/"), 0);
  }
  void TearDown() override {
    unsetenv("TMB_SSL_LIB");
    EXPECT_EQ(chdir(start_.c_str()), 0);
  }
  const std::string start_ = WorkingDirectory();
};

TEST_F(TlsBindingTest, LibraryFileIsBesideTheDataLibraryUnlessItsVariableNamesOne) {
  const std::string beside = TlsLibraryFile("~/libssl.so.3", "TMB_SSL_LIB");
  EXPECT_EQ(beside, TMB_DATA_LIBRARY_DIR "/libssl.so.3");
  EXPECT_NE(beside, ProgramDirectory() + "/libssl.so.3");
  EXPECT_NE(beside, start_ + "/libssl.so.3");
  EXPECT_EQ(TlsLibraryFile("~/libcrypto.so.3", "TMB_SSL_LIB"),
            TMB_DATA_LIBRARY_DIR "/libcrypto.so.3");
  // Past the platform's path limit the default names nothing.
  EXPECT_EQ(TlsLibraryFile(("~/" + std::string(PATH_MAX, 'x')).c_str(), "TMB_SSL_LIB"), "");

  // Set, the variable is the file as written: no "~" expansion, no
  // directory put in front, nothing resolved; set to nothing, it names none.
  for (const char* value : {"~/odd dir/../libssl.so.3", "libssl.so.3", "/opt/ssl/libssl.so.3", ""}) {
    setenv("TMB_SSL_LIB", value, 1);
    EXPECT_EQ(TlsLibraryFile("~/libssl.so.3", "TMB_SSL_LIB"), value);
  }
}

TEST_F(TlsBindingTest, LoadsFromTheBuildTreeAndReachesOpenSsl) {
  ASSERT_TRUE(LoadTlsLibraries());
  EXPECT_TRUE(LoadTlsLibraries());  // once per process: already loaded
  const openssl::SSL_METHOD* method = openssl::TLS_server_method();
  ASSERT_NE(method, nullptr);
  openssl::SSL_CTX* context = openssl::SSL_CTX_new(method);
  ASSERT_NE(context, nullptr);
  openssl::SSL* ssl = openssl::SSL_new(context);
  ASSERT_NE(ssl, nullptr);
  // The mode call hands its arguments through: the modes it reports back
  // include one that is off until asked for.
  constexpr long kPartialWrite = 1;  // OpenSSL's SSL_MODE_ENABLE_PARTIAL_WRITE
  EXPECT_EQ(openssl::SSL_ctrl(ssl, openssl::SSL_CTRL_MODE, 0, nullptr) & kPartialWrite, 0);
  EXPECT_EQ(openssl::SSL_ctrl(ssl, openssl::SSL_CTRL_MODE, kPartialWrite, nullptr) & kPartialWrite,
            kPartialWrite);
  openssl::SSL_free(ssl);
  openssl::SSL_CTX_free(context);
}

}  // namespace
}  // namespace tmb
