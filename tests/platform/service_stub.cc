// A service for the tests of the service control layer. Its first start
// parameter says how it behaves: "fail" reports a failed start, "vanish"
// ends the process without reporting anything; anything else runs until
// stopped. What it receives is appended to the file named by STUB_RECORD.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/service_control.h"

namespace {

using namespace tmb::platform;

// The service main thread sets these and the dispatcher's thread runs the
// handler: the control that makes it run comes from another process, which
// orders the two only as far as the processes can tell, so a lock orders them
// here too.
std::mutex g_mutex;
ServiceStatusHandle g_handle = nullptr;
ServiceStatus g_status;

void Record(const std::string& line) {
  if (const char* path = std::getenv("STUB_RECORD")) {
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%s\n", line.c_str());
      std::fclose(f);
    }
  }
}

void Handler(uint32_t control) {
  Record("control " + std::to_string(control));
  std::lock_guard<std::mutex> lock(g_mutex);
  if (control == kServiceControlStop) g_status.current_state = kServiceStopped;
  if (control == kServiceControlPause) g_status.current_state = kServicePaused;
  if (control == kServiceControlContinue) g_status.current_state = kServiceRunning;
  SetServiceStatus(g_handle, &g_status);
}

void Main(uint32_t argc, char** argv) {
  std::string line = "args";
  for (uint32_t i = 0; i < argc; ++i) line += std::string(" ") + argv[i];
  Record(line);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "vanish") _exit(3);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handle = RegisterServiceCtrlHandler("stub", Handler);
  g_status = ServiceStatus{kServiceWin32, kServiceRunning, kServiceAcceptStop | kServiceAcceptPauseContinue, 0, 0,
                           0, 0};
  if (mode == "fail") {
    g_status.current_state = kServiceStopped;
    g_status.win32_exit_code = kErrorServiceSpecificError;
    g_status.service_specific_exit_code = 42;
  }
  SetServiceStatus(g_handle, &g_status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "-early-exit") return 5;
  const ServiceTableEntry table[] = {{"stub", Main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcher(table)) {
    std::fprintf(stderr, "dispatcher error %u\n", GetLastServiceError());
    return 2;
  }
  return 1;
}
