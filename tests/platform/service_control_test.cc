#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/text_files.h"

namespace tmb::platform {
namespace {

bool Eventually(const std::function<bool()>& check) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return check();
}

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_ = OpenSCManager(nullptr, nullptr, kScManagerAllAccess);
    ASSERT_NE(manager_, nullptr);
  }
  void TearDown() override {
    // A service left running by a failed check is stopped, not left behind.
    if (ScHandle* s = OpenService(manager_, "stub", kServiceAllAccess)) {
      ServiceStatus status;
      ControlService(s, kServiceControlStop, &status);
      if (uint32_t pid = ServiceProcessId(s)) kill(static_cast<pid_t>(pid), SIGKILL);
      CloseServiceHandle(s);
    }
    CloseServiceHandle(manager_);
    // The services' standard error: the layer's service side under the
    // sanitizers of this build.
    std::ifstream log(dir_.path() + "/run/stub.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    for (const char* mark : {"Sanitizer", "runtime error"}) EXPECT_EQ(text.find(mark), std::string::npos) << text;
  }

  ScHandle* Install(const std::string& image_path) {
    return CreateService(manager_, "stub", "Stub Service", kServiceAllAccess, kServiceWin32OwnProcess,
                         kServiceAutoStart, kServiceErrorNormal, image_path.c_str());
  }
  std::string StubPath() const { return "\"" TMB_SERVICE_STUB "\" -SERVICE"; }
  uint32_t State(ScHandle* s) {
    ServiceStatus status;
    return QueryServiceStatus(s, &status) ? status.current_state : 0;
  }
  std::string Record() const { return dir_.path() + "/record.txt"; }

  test::ScratchDir dir_{"tmb-svc"};
  test::ScopedEnv machine_{"TMB_MACHINE_REGISTRY", (dir_.path() + "/machine.reg").c_str()};
  test::ScopedEnv run_{"TMB_SERVICE_DIR", (dir_.path() + "/run").c_str()};
  test::ScopedEnv record_{"STUB_RECORD", Record().c_str()};
  ScHandle* manager_ = nullptr;
};

TEST_F(ServiceControlTest, DatabaseHoldsTheServiceAsWindowsKeepsIt) {
  ScHandle* created = Install(StubPath());
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(Install(StubPath()), nullptr);
  EXPECT_EQ(GetLastServiceError(), kErrorServiceExists);

  RegistryKey key;
  ASSERT_EQ(key.Open(Hive::kLocalMachine, "System\\CurrentControlSet\\Services\\stub"), kErrorSuccess);
  char text[512];
  uint32_t size = sizeof text, type = 0;
  ASSERT_EQ(key.QueryValue("ImagePath", &type, text, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegExpandSz);
  EXPECT_EQ(std::string(text), StubPath());
  size = sizeof text;
  ASSERT_EQ(key.QueryValue("DisplayName", &type, text, &size), kErrorSuccess);
  EXPECT_EQ(std::string(text), "Stub Service");
  for (auto [name, expected] : {std::pair{"Type", 0x10u}, {"Start", 2u}, {"ErrorControl", 1u}}) {
    uint32_t number = 0;
    size = sizeof number;
    ASSERT_EQ(key.QueryValue(name, &type, &number, &size), kErrorSuccess) << name;
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(number, expected) << name;
  }
  EXPECT_EQ(State(created), kServiceStopped);  // installed, never started

  EXPECT_TRUE(DeleteService(created));
  CloseServiceHandle(created);
  EXPECT_EQ(OpenService(manager_, "stub", kServiceAllAccess), nullptr);
  EXPECT_EQ(GetLastServiceError(), kErrorServiceDoesNotExist);
  EXPECT_EQ(OpenService(manager_, "../stub", kServiceAllAccess), nullptr);  // names stay file names
  EXPECT_EQ(OpenService(nullptr, "stub", kServiceAllAccess), nullptr);
}

TEST_F(ServiceControlTest, StartControlsAndStopOfARunningService) {
  ScHandle* s = Install(StubPath());
  ASSERT_NE(s, nullptr);
  ServiceStatus status;
  EXPECT_FALSE(ControlService(s, kServiceControlStop, &status));
  EXPECT_EQ(GetLastServiceError(), kErrorServiceNotActive);

  const char* params[] = {"-P:20300", "second"};
  ASSERT_TRUE(StartService(s, 2, params)) << GetLastServiceError();
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceRunning; }));
  EXPECT_NE(ServiceProcessId(s), 0u);
  EXPECT_FALSE(StartService(s, 0, nullptr));
  EXPECT_EQ(GetLastServiceError(), kErrorServiceAlreadyRunning);

  ASSERT_TRUE(ControlService(s, kServiceControlPause, &status));
  EXPECT_EQ(status.current_state, kServicePaused);
  EXPECT_EQ(State(s), kServicePaused);
  ASSERT_TRUE(ControlService(s, kServiceControlContinue, &status));
  EXPECT_EQ(status.current_state, kServiceRunning);
  ASSERT_TRUE(ControlService(s, kServiceControlInterrogate, &status));
  EXPECT_EQ(status.service_type, kServiceWin32);
  EXPECT_FALSE(ControlService(s, 77, &status));  // neither standard nor user-defined
  EXPECT_EQ(GetLastServiceError(), kErrorInvalidServiceControl);
  ASSERT_TRUE(ControlService(s, kServiceControlStop, &status));
  EXPECT_EQ(status.current_state, kServiceStopped);
  EXPECT_EQ(State(s), kServiceStopped);
  EXPECT_EQ(ServiceProcessId(s), 0u);

  // The process took its start parameters and its controls in order, and
  // inherited the starter's environment (STUB_RECORD).
  EXPECT_EQ(test::ReadLines(Record()), (std::vector<std::string>{"args stub -P:20300 second", "control 2", "control 3",
                                                        "control 4", "control 1"}));
  // Stopped is stopped: it starts again.
  ASSERT_TRUE(StartService(s, 0, nullptr)) << GetLastServiceError();
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceRunning; }));
  ASSERT_TRUE(ControlService(s, kServiceControlStop, &status));
  CloseServiceHandle(s);
}

TEST_F(ServiceControlTest, FailedAndVanishedServicesAreReportedStopped) {
  ScHandle* s = Install(StubPath());
  ASSERT_NE(s, nullptr);
  ServiceStatus status;
  const char* fail[] = {"fail"};
  ASSERT_TRUE(StartService(s, 1, fail));
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceStopped; }));
  ASSERT_TRUE(QueryServiceStatus(s, &status));
  EXPECT_EQ(status.win32_exit_code, kErrorServiceSpecificError);
  EXPECT_EQ(status.service_specific_exit_code, 42u);

  // A process that ends without a word leaves no "running" behind.
  const char* vanish[] = {"vanish"};
  ASSERT_TRUE(StartService(s, 1, vanish));
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceStopped; }));
  ASSERT_TRUE(QueryServiceStatus(s, &status));
  EXPECT_EQ(status.win32_exit_code, kErrorProcessAborted);

  // Neither does one that is killed while it runs.
  ASSERT_TRUE(StartService(s, 0, nullptr));
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceRunning; }));
  ASSERT_EQ(kill(static_cast<pid_t>(ServiceProcessId(s)), SIGKILL), 0);
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceStopped; }));
  EXPECT_FALSE(ControlService(s, kServiceControlStop, &status));
  EXPECT_EQ(GetLastServiceError(), kErrorServiceNotActive);
  CloseServiceHandle(s);
}

TEST_F(ServiceControlTest, ServiceRemovedWhileItRunsGoesWhenItStops) {
  ScHandle* s = Install(StubPath());
  ASSERT_NE(s, nullptr);
  ServiceStatus status;
  ASSERT_TRUE(StartService(s, 0, nullptr));
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceRunning; }));
  ASSERT_TRUE(DeleteService(s));
  EXPECT_FALSE(DeleteService(s));
  EXPECT_EQ(GetLastServiceError(), kErrorServiceMarkedForDelete);
  EXPECT_EQ(Install(StubPath()), nullptr);
  EXPECT_EQ(GetLastServiceError(), kErrorServiceMarkedForDelete);
  // Still there to be looked at and stopped.
  ScHandle* again = OpenService(manager_, "stub", kServiceAllAccess);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(State(again), kServiceRunning);
  ASSERT_TRUE(ControlService(again, kServiceControlStop, &status));
  EXPECT_EQ(OpenService(manager_, "stub", kServiceAllAccess), nullptr);
  EXPECT_EQ(GetLastServiceError(), kErrorServiceDoesNotExist);
  CloseServiceHandle(again);
  CloseServiceHandle(s);

  // One that dies instead of stopping goes at the next look.
  s = Install(StubPath());
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(StartService(s, 0, nullptr));
  ASSERT_TRUE(Eventually([&] { return State(s) == kServiceRunning; }));
  const pid_t pid = static_cast<pid_t>(ServiceProcessId(s));
  ASSERT_TRUE(DeleteService(s));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  uint32_t error = 0;
  EXPECT_TRUE(Eventually([&] {
    ScHandle* open = OpenService(manager_, "stub", kServiceAllAccess);
    error = GetLastServiceError();
    if (open != nullptr) CloseServiceHandle(open);
    return open == nullptr;
  }));
  EXPECT_EQ(error, kErrorServiceDoesNotExist);
  CloseServiceHandle(s);
  ScHandle* fresh = Install(StubPath());
  EXPECT_NE(fresh, nullptr);
  CloseServiceHandle(fresh);
}

TEST_F(ServiceControlTest, StartsThatCannotReachTheDispatcherFail) {
  ScHandle* missing = Install("\"" + dir_.path() + "/no-such-program\" -SERVICE");
  ASSERT_NE(missing, nullptr);
  EXPECT_FALSE(StartService(missing, 0, nullptr));
  EXPECT_EQ(GetLastServiceError(), kErrorFileNotFoundCode);
  EXPECT_EQ(State(missing), kServiceStopped);
  ASSERT_TRUE(DeleteService(missing));
  CloseServiceHandle(missing);

  ScHandle* early = Install("\"" TMB_SERVICE_STUB "\" -early-exit");
  ASSERT_NE(early, nullptr);
  EXPECT_FALSE(StartService(early, 0, nullptr));
  EXPECT_EQ(GetLastServiceError(), kErrorServiceRequestTimeout);
  EXPECT_EQ(State(early), kServiceStopped);
  CloseServiceHandle(early);
}

TEST(ServiceDispatcherTest, OnlyAProcessTheLayerStartedEntersTheDispatcher) {
  test::ScopedEnv not_started("TMB_SERVICE_START", nullptr);
  static bool ran = false;
  const ServiceTableEntry table[] = {{"stub", [](uint32_t, char**) { ran = true; }}, {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(GetLastServiceError(), kErrorFailedServiceControllerConnect);
  {
    // A forged start without the start file's token is no start either.
    test::ScopedEnv forged("TMB_SERVICE_START", "stub:0123");
    EXPECT_FALSE(StartServiceCtrlDispatcher(table));
    EXPECT_EQ(GetLastServiceError(), kErrorFailedServiceControllerConnect);
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(RegisterServiceCtrlHandler("stub", [](uint32_t) {}), nullptr);
  EXPECT_EQ(GetLastServiceError(), kErrorServiceNotInExe);
  ServiceStatus status;
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
}

}  // namespace
}  // namespace tmb::platform
