// The status dialog of the interactive server, run as users run it: the real
// binary on a real terminal (a detached tmux session, driven with send-keys
// and read with capture-pane), and with standard output a file.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_files.h"
#include "tests/support/tmux_terminal.h"

namespace tmb::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kProduct = "Tamblo\xC2\xAE SQL Server";

std::string ServerBinary() {
  const char* bin = std::getenv("TMB_SERVER_BIN");
  return bin != nullptr ? bin : TMB_SERVER_BIN_DEFAULT;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls `done` every 50 ms for at most `limit`.
template <typename Predicate>
bool Eventually(Predicate done, std::chrono::seconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return done();
}

bool Listening(uint16_t port) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// The real server on a terminal of its own (a tmux session whose server is
// killed with this object).
// When the server ends, the shell writes its exit status and the terminal's
// settings to files.
class PanelServer {
 public:
  PanelServer() : port_(FreePort()) {}

  bool Start(const std::string& machine_hive) {
    const std::string& d = dir_.path();
    std::ofstream(d + "/machine.reg", std::ios::binary) << machine_hive;
    // The shell runs the server as a job of its own in the terminal's
    // foreground, as an interactive shell does (so that Ctrl-Z could stop
    // it), and outlives a Ctrl-C meant for the server (a trap, unlike an
    // ignored signal, is not inherited) to write down how the server ended.
    std::ofstream(d + "/run.sh") << "cd '" << d << "' || exit\nset -m\ntrap : INT\n"
                                 << "TMB_MACHINE_REGISTRY='" << d << "/machine.reg' "
                                 << "TMB_USER_REGISTRY='" << d << "/user.reg' '" << ServerBinary()
                                 << "' -P:" << port_ << " 2>stderr.txt\n"
                                 << "echo $? >status.tmp; mv status.tmp status\n"
                                 << "stty -a >stty.tmp; mv stty.tmp stty.txt\n";
    if (!terminal_.Start("sh " + d + "/run.sh")) return false;
    return Eventually([&] { return Listening(port_) || Exited(); });
  }

  std::string Screen() { return terminal_.Screen(); }
  // Waits for `text` on the screen.
  bool Shows(const std::string& text) { return terminal_.Shows(text); }
  void Keys(const std::string& keys) { terminal_.Keys(keys); }

  bool Exited() const { return std::filesystem::exists(dir_.path() + "/status"); }
  // The exit status once the server has ended on its own; -1 when it has not.
  int ExitStatus(std::chrono::seconds limit = 30s) {
    if (!Eventually([&] { return Exited(); }, limit)) return -1;
    return std::atoi(Slurp(dir_.path() + "/status").c_str());
  }
  std::string TerminalSettings() {
    Eventually([&] { return std::filesystem::exists(dir_.path() + "/stty.txt"); }, 10s);
    return Slurp(dir_.path() + "/stty.txt");
  }
  std::string Stderr() const { return Slurp(dir_.path() + "/stderr.txt"); }

  // The server's process: the child of the pane's shell.
  pid_t ServerPid() {
    const std::string shell = std::to_string(terminal_.PanePid());
    const std::string children = Slurp("/proc/" + shell + "/task/" + shell + "/children");
    return static_cast<pid_t>(std::atoi(children.c_str()));
  }

  uint16_t port() const { return port_; }
  const std::string& dir() const { return dir_.path(); }

 private:
  ScratchDir dir_{"tmb-panel"};
  uint16_t port_;
  // After dir_: its tmux server goes before the directory of its socket.
  TmuxTerminal terminal_{dir_.path(), "panel"};
};

class StatusPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TmuxTerminal::Available()) << "tmux is missing; scripts/setup.sh installs it";
  }
  void TearDown() override { ExpectCleanEnd(server_); }
  static void ExpectCleanEnd(const PanelServer& server) {
    const std::string err = server.Stderr();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }
  // The terminal is as the server found it: lines edited and echoed.
  void ExpectTerminalGivenBack() {
    const std::string settings = server_.TerminalSettings();
    EXPECT_NE(settings.find(" icanon"), std::string::npos) << settings;
    EXPECT_NE(settings.find(" echo "), std::string::npos) << settings;
  }

  PanelServer server_;
};

TEST_F(StatusPanelTest, ShowsTheTextsAndOnlyTheSpaceBarShutsDown) {
  ASSERT_TRUE(server_.Start(MachineHive()));
  ASSERT_TRUE(server_.Shows("[ Shutdown ]")) << server_.Screen() << server_.Stderr();
  const std::string screen = server_.Screen();
  EXPECT_NE(screen.find("|  The Server is Running  "), std::string::npos) << screen;
  EXPECT_EQ(screen.find("(Secure)"), std::string::npos) << screen;
  EXPECT_NE(screen.find(std::string(kProduct) + " 8.10.0000"), std::string::npos) << screen;
  EXPECT_NE(screen.find("OpenSSL 3.5.0 8 Apr 2025"), std::string::npos) << screen;

  // Escape, Enter and other keys are no way out: the dialog keeps no keyboard
  // handling of its own. A second is ample for a key to reach the server.
  server_.Keys("Escape");
  server_.Keys("Enter");
  server_.Keys("q Up");
  // Nor does Ctrl-Z suspend it: a stopped server would still take TCP
  // connections into its backlog, but would not answer them.
  server_.Keys("C-z");
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(server_.Exited());
  {
    RawConnection browser(server_.port());
    browser.Send({'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n'});
    const Bytes page = browser.ReadAll();
    EXPECT_EQ(std::string(page.begin(), page.end()).rfind("HTTP/1.1 200 OK\n", 0), 0u);
  }
  EXPECT_NE(server_.Screen().find("[ Shutdown ]"), std::string::npos);

  server_.Keys("Space");
  EXPECT_EQ(server_.ExitStatus(), 0) << server_.Stderr();
  EXPECT_FALSE(Listening(server_.port()));
  ExpectTerminalGivenBack();
}

TEST_F(StatusPanelTest, SigtermAndSigintActAsTheCloseBox) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    PanelServer server;
    ASSERT_TRUE(server.Start(MachineHive()));
    ASSERT_TRUE(server.Shows("[ Shutdown ]")) << server.Screen();
    const pid_t pid = server.ServerPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, sig), 0);
    EXPECT_EQ(server.ExitStatus(), 0) << server.Stderr();
    EXPECT_FALSE(Listening(server.port()));
    ExpectCleanEnd(server);
  }
}

TEST_F(StatusPanelTest, CtrlCOnTheTerminalShutsDownInOrder) {
  ASSERT_TRUE(server_.Start(MachineHive()));
  ASSERT_TRUE(server_.Shows("[ Shutdown ]")) << server_.Screen();
  server_.Keys("C-c");
  EXPECT_EQ(server_.ExitStatus(), 0) << server_.Stderr();
  ExpectTerminalGivenBack();
}

TEST_F(StatusPanelTest, TlsServerSaysSecure) {
  const std::string pem = server_.dir() + "/server.pem";
  ASSERT_TRUE(WriteTextFile(pem, Certificates().ServerPem()));
  ASSERT_TRUE(server_.Start(MachineHive("\"SSL\"=\"" + pem + "\"\n")));
  ASSERT_TRUE(server_.Shows("The Server is Running (Secure)")) << server_.Screen()
                                                                << server_.Stderr();
  server_.Keys("Space");
  EXPECT_EQ(server_.ExitStatus(), 0) << server_.Stderr();
}

TEST_F(StatusPanelTest, FailedStartShowsNoPanelAndExitsWithTheStartError) {
  // Without the Catalogs key the server thread ends without listening.
  ASSERT_TRUE(server_.Start(MachineHive("", false)));
  EXPECT_EQ(server_.ExitStatus(), 255) << server_.Stderr();  // -1 as an exit status
  EXPECT_NE(server_.Stderr().find("Tamblo SQL Server Error: Unable to start Tamblo SQL Server"),
            std::string::npos)
      << server_.Stderr();
}

// Standard output a file: the texts are printed once, and SIGTERM stops the
// server in order as before.
class PrintedDialogTest : public ::testing::Test {
 protected:
  std::string Expected(const std::string& first_row) {
    return std::string(kProduct) + "\n" + first_row + "\n" + kProduct +
           " 8.10.0000\nOpenSSL 3.5.0 8 Apr 2025\n";
  }
  void TearDown() override { EXPECT_EQ(server_.StopProblems(), ""); }
  ServerProcess server_;
};

TEST_F(PrintedDialogTest, TextsArePrintedOnce) {
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  const std::string expected = Expected("The Server is Running");
  EXPECT_TRUE(Eventually([&] { return server_.Stdout() == expected; }, 10s)) << server_.Stdout();
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_EQ(server_.Stdout(), expected);
}

TEST_F(PrintedDialogTest, TlsServerPrintsSecure) {
  const std::string pem = server_.dir() + "/server.pem";
  ASSERT_TRUE(WriteTextFile(pem, Certificates().ServerPem()));
  server_.machine_hive = MachineHive("\"SSL\"=\"" + pem + "\"\n");
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
  const std::string expected = Expected("The Server is Running (Secure)");
  EXPECT_TRUE(Eventually([&] { return server_.Stdout() == expected; }, 10s)) << server_.Stdout();
}

}  // namespace
}  // namespace tmb::test
