// The status page as a real browser sees it: headless Chromium loads it from
// the real server, over plain TCP and over TLS, and dumps the page's DOM.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_files.h"

namespace tmb::test {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

class StatusPageBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kChromium, X_OK), 0)
        << kChromium << " is missing; scripts/setup.sh installs the chromium package";
  }
  void TearDown() override { EXPECT_EQ(server_.StopProblems(), ""); }

  // The DOM Chromium builds from `url`, as it serialises it. The profile is
  // a scratch directory, so no state of another run counts.
  std::string DumpDom(const std::string& url, const std::string& extra = "") {
    const std::string command = std::string("timeout 120 ") + kChromium +
                                " --headless --no-sandbox --disable-gpu --no-first-run"
                                " --user-data-dir='" + profile_.path() + "' " + extra +
                                " --dump-dom '" + url + "' 2>/dev/null";
    return CommandOutput(command);
  }

  // The page's texts as the browser reads them: the mark sent as the single
  // Windows-1252 byte arrives as "®", and every count is 0 with no client
  // connected.
  static void ExpectStatusTexts(const std::string& dom, bool secure) {
    const std::string heading = std::string("<h1>Hello from: Tamblo\xC2\xAE SQL Server ") +
                                (secure ? "(Secure)" : "") + "</h1>";
    EXPECT_NE(dom.find(heading), std::string::npos) << dom;
    EXPECT_NE(dom.find("<p>Version: 8.10.0000<br>OpenSSL 3.5.0 8 Apr 2025</p>"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("<h2>Usage Info</h2>"), std::string::npos) << dom;
    for (const char* count : {"Number of user slots in use : 0", "Number of connections : 0",
                              "Number of files opened: 0"}) {
      EXPECT_NE(dom.find(count), std::string::npos) << count << "\n" << dom;
    }
  }

  ScratchDir profile_{"tmb-chromium"};
  ServerProcess server_;
};

TEST_F(StatusPageBrowserTest, ChromiumShowsThePlainServersPage) {
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  const std::string dom = DumpDom("http://127.0.0.1:" + std::to_string(server_.port()) + "/");
  ExpectStatusTexts(dom, false);
  EXPECT_EQ(dom.find("(Secure)"), std::string::npos) << dom;
}

TEST_F(StatusPageBrowserTest, ChromiumShowsTheSecureMarkOverTls) {
  const std::string pem = server_.dir() + "/server.pem";
  ASSERT_TRUE(WriteTextFile(pem, Certificates().ServerPem()));
  server_.machine_hive = MachineHive("\"SSL\"=\"" + pem + "\"\n");
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  const std::string url = "https://127.0.0.1:" + std::to_string(server_.port()) + "/";
  // The test CA is not one the browser trusts.
  ExpectStatusTexts(DumpDom(url, "--ignore-certificate-errors"), true);
}

}  // namespace
}  // namespace tmb::test
