// The service modes as an operator runs them: the real binary installs,
// starts, queries, stops and removes its service through the service
// control layer, with hives, run directory and event log of the test's own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/service_control.h"
#include "tests/e2e/server_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_files.h"

namespace tmb::test {
namespace {

bool Eventually(const std::function<bool()>& check) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return check();
}

struct Outcome {
  int exit_code = -1000;  // as the shell sees it: -1 is 255
  std::string err;
};

// A listening socket on all addresses, as another program holding the port.
class PortHolder {
 public:
  explicit PortHolder(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
  }
  ~PortHolder() { close(fd_); }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

class ServiceModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.path() + "/machine.reg", std::ios::binary)
        << MachineHive("\"Port\"=\"" + std::to_string(port_) + "\"\r\n");
  }

  void TearDown() override {
    // A service a failed check left running goes with the test.
    if (platform::ScHandle* m = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess)) {
      if (platform::ScHandle* s = platform::OpenService(m, "tmbsqlsvr", platform::kServiceAllAccess)) {
        if (uint32_t pid = platform::ServiceProcessId(s)) kill(static_cast<pid_t>(pid), SIGKILL);
        platform::CloseServiceHandle(s);
      }
      platform::CloseServiceHandle(m);
    }
    const std::string log = ReadFile(dir_.path() + "/run/tmbsqlsvr.log");
    for (const char* mark : {"Sanitizer", "runtime error"}) {
      EXPECT_EQ(log.find(mark), std::string::npos) << log;
    }
  }

  // Runs the binary with `args` in the scratch directory, as from a prompt.
  Outcome Run(const std::vector<std::string>& args) {
    const std::string bin = TMB_SERVER_BIN;
    const std::string err_path = dir_.path() + "/tool-stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.path().c_str()) != 0) _exit(127);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      std::vector<char*> argv{const_cast<char*>(bin.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome o;
    o.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.err = ReadFile(err_path);
    for (const char* mark : {"Sanitizer", "runtime error"}) {
      EXPECT_EQ(o.err.find(mark), std::string::npos) << o.err;
    }
    return o;
  }

  bool QuerySays(const std::string& text) {
    const Outcome o = Run({"-qsvr"});
    return o.exit_code == 1 && o.err == "Tmbsqlsvr service status: " + text;
  }

  // A connection that the server has served: Hello answered.
  std::unique_ptr<RawConnection> Served(uint16_t port) {
    auto c = std::make_unique<RawConnection>(port);
    if (!c->ok()) return nullptr;
    c->SendPlain({41});
    if (BodyOf(c->ReadFrame()) != Bytes{0, 0}) return nullptr;
    return c;
  }

  // Sends a control as the system's service tool would.
  bool Control(uint32_t control, platform::ServiceStatus* status) {
    platform::ScHandle* m = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
    platform::ScHandle* s = m ? platform::OpenService(m, "tmbsqlsvr", platform::kServiceAllAccess) : nullptr;
    const bool ok = s != nullptr && platform::ControlService(s, control, status);
    if (s) platform::CloseServiceHandle(s);
    if (m) platform::CloseServiceHandle(m);
    return ok;
  }

  platform::ServiceStatus Status() {
    platform::ServiceStatus status;
    platform::ScHandle* m = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
    platform::ScHandle* s = m ? platform::OpenService(m, "tmbsqlsvr", platform::kServiceAllAccess) : nullptr;
    if (s) platform::QueryServiceStatus(s, &status);
    if (s) platform::CloseServiceHandle(s);
    if (m) platform::CloseServiceHandle(m);
    return status;
  }

  std::string Events() const { return dir_.path() + "/events.log"; }

  ScratchDir dir_{"tmb-service"};
  uint16_t port_ = FreePort();
  ScopedEnv machine_{"TMB_MACHINE_REGISTRY", (dir_.path() + "/machine.reg").c_str()};
  ScopedEnv user_{"TMB_USER_REGISTRY", (dir_.path() + "/user.reg").c_str()};
  ScopedEnv run_{"TMB_SERVICE_DIR", (dir_.path() + "/run").c_str()};
  ScopedEnv events_{"TMB_EVENT_LOG", Events().c_str()};
};

TEST_F(ServiceModesTest, OperatorInstallsRunsPausesStopsAndRemovesTheService) {
  // Install twice; the first line also holds "-SERVICE", which loses to "-i".
  EXPECT_EQ(Run({"-SERVICE", "-i"}).exit_code, 0);
  const std::string hive_once = ReadFile(dir_.path() + "/machine.reg");
  const Outcome again = Run({"-I"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(ReadFile(dir_.path() + "/machine.reg"), hive_once);

  platform::RegistryKey key;
  ASSERT_EQ(key.Open(platform::Hive::kLocalMachine, "System\\CurrentControlSet\\Services\\tmbsqlsvr"),
            platform::kErrorSuccess);
  char text[512];
  uint32_t size = sizeof text;
  ASSERT_EQ(key.QueryValue("ImagePath", nullptr, text, &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(text), std::string("\"") + TMB_SERVER_BIN + "\" -SERVICE");
  size = sizeof text;
  ASSERT_EQ(key.QueryValue("DisplayName", nullptr, text, &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(text), "Tamblo SQL Service");
  size = sizeof text;
  ASSERT_EQ(key.QueryValue("Description", nullptr, text, &size), platform::kErrorSuccess);
  EXPECT_EQ(std::string(text), "Provides access to Tamblo data sources.");

  EXPECT_TRUE(QuerySays("tmbsqlsvr server is stopped\n"));
  const Outcome start = Run({"-startsvr"});
  EXPECT_EQ(start.exit_code, 1) << start.err;
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is running\n"); }));

  const Outcome second = Run({"-STARTSVR"});
  EXPECT_EQ(second.exit_code, 255);
  EXPECT_EQ(second.err, "Tmbsqlsvr error: Cannot start service\n");

  // The port came from the registry: no start parameter, no port option.
  auto client = Served(port_);
  ASSERT_NE(client, nullptr);

  platform::ServiceStatus status;
  ASSERT_TRUE(Control(platform::kServiceControlPause, &status));
  EXPECT_EQ(status.current_state, platform::kServicePaused);
  EXPECT_EQ(status.service_type, 0x30u);
  // The box adds the line end this one text lacks.
  EXPECT_TRUE(QuerySays("tmbsqlsvr status unknown\n"));
  client->SendPlain({41});  // served while paused, old and new clients alike
  EXPECT_EQ(BodyOf(client->ReadFrame()), (Bytes{0, 0}));
  EXPECT_NE(Served(port_), nullptr);
  ASSERT_TRUE(Control(platform::kServiceControlContinue, &status));
  EXPECT_TRUE(QuerySays("tmbsqlsvr server is running\n"));
  // Interrogation and a control of the service's own range change nothing;
  // the unknown one is noted in the debug output.
  ASSERT_TRUE(Control(platform::kServiceControlInterrogate, &status));
  EXPECT_EQ(status.current_state, platform::kServiceRunning);
  ASSERT_TRUE(Control(200, &status));
  EXPECT_EQ(status.current_state, platform::kServiceRunning);
  client->SendPlain({41});
  EXPECT_EQ(BodyOf(client->ReadFrame()), (Bytes{0, 0}));

  // Stop with a client still connected: the server stops in order, which
  // ends the client's session, and the process goes.
  const Outcome stop = Run({"-stopsvr"});
  EXPECT_EQ(stop.exit_code, 1) << stop.err;
  EXPECT_TRUE(client->PeerClosed());
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is stopped\n"); }));
  EXPECT_EQ(Status().win32_exit_code, 0u);
  EXPECT_EQ(ConnectLoopback(port_), -1);
  // The server's start line, whose figures are the machine's, then the
  // service's own notes.
  const std::string log = ReadFile(dir_.path() + "/run/tmbsqlsvr.log");
  const size_t first_line_end = log.find('\n') + 1;
  EXPECT_EQ(log.rfind("tmbsqlsvr: open descriptor limit ", 0), 0u) << log;
  EXPECT_EQ(log.substr(first_line_end),
            " [MY_SERVICE] Unrecognized opcode 200\n [MY_SERVICE] Leaving MyService \n");

  const Outcome stop_again = Run({"-STOPSVR"});
  EXPECT_EQ(stop_again.exit_code, 255);
  EXPECT_EQ(stop_again.err, "Tmbsqlsvr error: Cannot stop service\n");

  EXPECT_EQ(Run({"-u"}).exit_code, 0);
  const Outcome gone = Run({"-QSVR"});
  EXPECT_EQ(gone.exit_code, 255);
  EXPECT_EQ(gone.err, "Tmbsqlsvr error: Cannot query service\n");
  EXPECT_EQ(Run({"-U"}).exit_code, 0);  // removing what is not there is quiet too
  EXPECT_EQ(Run({"-startsvr"}).err, "Tmbsqlsvr error: Cannot start service\n");
  // The event source stays for the events already written.
  EXPECT_EQ(key.Open(platform::Hive::kLocalMachine,
                     "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tmbsqlsvr"),
            platform::kErrorSuccess);
  EXPECT_EQ(ReadFile(Events()), "");  // nothing failed
}

TEST_F(ServiceModesTest, RemovingARunningServiceLeavesItToBeStoppedFirst) {
  ASSERT_EQ(Run({"-i"}).exit_code, 0);
  ASSERT_EQ(Run({"-startsvr"}).exit_code, 1);
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is running\n"); }));
  EXPECT_EQ(Run({"-u"}).exit_code, 0);
  EXPECT_TRUE(QuerySays("tmbsqlsvr server is running\n"));
  EXPECT_NE(Served(port_), nullptr);
  EXPECT_EQ(Run({"-stopsvr"}).exit_code, 1);
  EXPECT_TRUE(Eventually([&] { return Run({"-qsvr"}).err == "Tmbsqlsvr error: Cannot query service\n"; }));
  EXPECT_EQ(Run({"-startsvr"}).exit_code, 255);
}

TEST_F(ServiceModesTest, FirstStartParameterChoosesThePort) {
  ASSERT_EQ(Run({"-i"}).exit_code, 0);
  const uint16_t chosen = FreePort();
  platform::ScHandle* m = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
  ASSERT_NE(m, nullptr);
  platform::ScHandle* s = platform::OpenService(m, "tmbsqlsvr", platform::kServiceAllAccess);
  ASSERT_NE(s, nullptr);
  const std::string parameter = "x:" + std::to_string(chosen);
  const char* parameters[] = {parameter.c_str(), "-P:1"};
  ASSERT_TRUE(platform::StartService(s, 2, parameters)) << platform::GetLastServiceError();
  platform::CloseServiceHandle(s);
  platform::CloseServiceHandle(m);
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is running\n"); }));
  EXPECT_NE(Served(chosen), nullptr);
  EXPECT_EQ(ConnectLoopback(port_), -1);  // the registry's port is not used
  EXPECT_EQ(Run({"-stopsvr"}).exit_code, 1);
  EXPECT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is stopped\n"); }));
}

TEST_F(ServiceModesTest, ServiceOptionTypedAtAPromptIsRefused) {
  const Outcome o = Run({"-service", "-P:" + std::to_string(port_)});
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_EQ(o.err, " [MY_SERVICE] StartServiceCtrlDispatcher error = 1063\n");
  EXPECT_EQ(ConnectLoopback(port_), -1);
  EXPECT_EQ(ReadFile(Events()), "");
}

TEST_F(ServiceModesTest, MissingCatalogKeyIsOneEventForAService) {
  std::ofstream(dir_.path() + "/machine.reg", std::ios::binary)
      << MachineHive("\"Port\"=\"" + std::to_string(port_) + "\"\r\n", /*with_catalogs=*/false);
  ASSERT_EQ(Run({"-i"}).exit_code, 0);
  EXPECT_EQ(Run({"-startsvr"}).exit_code, 1);
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is stopped\n"); }));
  EXPECT_EQ(Status().win32_exit_code, platform::kErrorServiceSpecificError);
  const std::vector<std::string> events = ReadLines(Events());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("\ttmbsqlsvr\terror\t0xC0000004\tTamblo SQL Server Error: Unable to find a valid catalog"),
            std::string::npos)
      << events[0];
}

TEST_F(ServiceModesTest, TakenPortIsOneEventForAServiceAndNoneInteractively) {
  PortHolder holder(port_);
  ASSERT_TRUE(holder.ok());
  ASSERT_EQ(Run({"-i"}).exit_code, 0);
  EXPECT_EQ(Run({"-startsvr"}).exit_code, 1);  // the start itself is accepted
  ASSERT_TRUE(Eventually([&] { return QuerySays("tmbsqlsvr server is stopped\n"); }));
  const platform::ServiceStatus status = Status();
  EXPECT_EQ(status.win32_exit_code, platform::kErrorServiceSpecificError);
  EXPECT_NE(status.service_specific_exit_code, 0u);

  const std::vector<std::string> events = ReadLines(Events());
  ASSERT_EQ(events.size(), 1u);
  std::vector<std::string> fields;
  std::istringstream line(events[0]);
  for (std::string f; std::getline(line, f, '\t');) fields.push_back(f);
  ASSERT_EQ(fields.size(), 5u) << events[0];
  EXPECT_EQ(fields[1], "tmbsqlsvr");
  EXPECT_EQ(fields[2], "error");
  EXPECT_EQ(fields[3], "0xC0000003");
  EXPECT_EQ(fields[4], "Tamblo SQL Server Error: Unable to open socket Another process may be using it");

  // The same failure at a prompt is told in message boxes, never as an event.
  const Outcome interactive = Run({"-P:" + std::to_string(port_)});
  EXPECT_EQ(interactive.exit_code, 255);
  EXPECT_NE(interactive.err.find("Tamblo SQL Server Error: Unable to open socket " + std::to_string(port_) +
                                 ". Another process may be using it.\n"),
            std::string::npos)
      << interactive.err;
  EXPECT_NE(interactive.err.find("Tamblo SQL Server Error: Unable to start Tamblo SQL Server\n"), std::string::npos);
  EXPECT_EQ(ReadLines(Events()).size(), 1u);
}

}  // namespace
}  // namespace tmb::test
