#include "host/service_main.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>

#include "config/settings.h"
#include "diag/debug_trace.h"
#include "handlers/opcode_table.h"
#include "host/options.h"
#include "host/service_modes.h"
#include "host/status_page.h"
#include "platform/service_control.h"
#include "server/server.h"

namespace tmb {
namespace {

using platform::ServiceStatus;

// The service's status record. The service main thread and the control
// handler (on the dispatcher's thread) both change it; the lock keeps each
// change and its report together, so a report never carries half of the
// other thread's change.
std::mutex g_status_lock;
ServiceStatus g_status;
std::atomic<platform::ServiceStatusHandle> g_status_handle{nullptr};
std::string g_command_line;

// How long the orderly stop may take, as the stop-pending report says.
constexpr uint32_t kStopWaitHintMs =
    static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(kSessionStopBound).count()) + 5000;

bool Report() { return platform::SetServiceStatus(g_status_handle.load(), &g_status); }

int StartServiceServer(uint32_t argc, char** argv) {
  ServerSettings& settings = Settings();
  if (auto port = ServicePortOption(argc, argv, g_command_line)) settings.port = *port;
  if (settings.port == 0) settings.port = ReadListeningPort();
  // No certificate: a service listens without TLS.
  return StartServer({Dispatch, OpensConnection, AnswerStatusPage});
}

void ControlHandler(uint32_t control) {
  std::unique_lock<std::mutex> lock(g_status_lock);
  switch (control) {
    case platform::kServiceControlStop: {
      // The server stops in order before the status says stopped: sessions
      // end with their transactions rolled back and their locks released,
      // rather than being cut off when the process ends.
      g_status.current_state = platform::kServiceStopPending;
      g_status.check_point = 1;
      g_status.wait_hint = kStopWaitHintMs;
      Report();
      lock.unlock();
      StopServer();
      lock.lock();
      g_status.current_state = platform::kServiceStopped;
      g_status.win32_exit_code = 0;
      g_status.check_point = 0;
      g_status.wait_hint = 0;
      if (!Report()) {
        DebugTrace(" [MY_SERVICE] SetServiceStatus error %ld\n", static_cast<int>(platform::GetLastServiceError()));
      }
      DebugTrace(" [MY_SERVICE] Leaving MyService \n", 0);
      return;
    }
    case platform::kServiceControlPause:
      g_status.current_state = platform::kServicePaused;
      break;
    case platform::kServiceControlContinue:
      g_status.current_state = platform::kServiceRunning;
      break;
    case platform::kServiceControlInterrogate:
      break;
    default:
      DebugTrace(" [MY_SERVICE] Unrecognized opcode %ld\n", static_cast<int>(control));
      break;
  }
  if (!Report()) {
    DebugTrace(" [MY_SERVICE] SetServiceStatus error %ld\n", static_cast<int>(platform::GetLastServiceError()));
  }
}

void ServiceMain(uint32_t argc, char** argv) {
  {
    std::lock_guard<std::mutex> lock(g_status_lock);
    g_status = ServiceStatus{platform::kServiceWin32, platform::kServiceStartPending,
                             platform::kServiceAcceptStop | platform::kServiceAcceptPauseContinue, 0, 0, 0, 0};
  }
  platform::ServiceStatusHandle handle = platform::RegisterServiceCtrlHandler(kServiceName, ControlHandler);
  if (handle == nullptr) {
    DebugTrace(" [MY_SERVICE] RegisterServiceCtrlHandler failed %d/n",
               static_cast<int>(platform::GetLastServiceError()));
    return;
  }
  g_status_handle = handle;
  const int result = StartServiceServer(argc, argv);

  std::lock_guard<std::mutex> lock(g_status_lock);
  g_status.check_point = 0;
  g_status.wait_hint = 0;
  if (result != 0) {
    // The start routine's own result names the cause: an errno when the
    // server thread could not be made, all bits set when it ended before it
    // listened (its event says why).
    g_status.current_state = platform::kServiceStopped;
    g_status.win32_exit_code = platform::kErrorServiceSpecificError;
    g_status.service_specific_exit_code = static_cast<uint32_t>(result);
    Report();
    return;
  }
  g_status.current_state = platform::kServiceRunning;
  if (!Report()) {
    DebugTrace(" [MY_SERVICE] SetServiceStatus error %d\n", static_cast<int>(platform::GetLastServiceError()));
  }
}

}  // namespace

std::optional<uint16_t> ServicePortOption(uint32_t argc, char** argv, const std::string& command_line) {
  if (argc > 1) {
    const char* colon = argv[1] != nullptr ? std::strchr(argv[1], ':') : nullptr;
    if (colon == nullptr) return std::nullopt;
    return static_cast<uint16_t>(ParseDecimal(colon + 1));
  }
  return PortOption(command_line);
}

int RunService(const std::string& command_line) {
  g_command_line = command_line;
  Settings().service_mode = true;
  // A client that goes away mid-reply must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  char name[] = "tmbsqlsvr";
  const platform::ServiceTableEntry table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!platform::StartServiceCtrlDispatcher(table)) {
    DebugTrace(" [MY_SERVICE] StartServiceCtrlDispatcher error = %d\n",
               static_cast<int>(platform::GetLastServiceError()));
  }
  return 1;
}

}  // namespace tmb
