#include "host/service_modes.h"

#include <unistd.h>

#include "host/events.h"
#include "platform/message_box.h"
#include "platform/registry_write.h"
#include "platform/service_control.h"

namespace tmb {
namespace {

constexpr size_t kMaxPath = 260;
constexpr const char* kErrorCaption = "Tmbsqlsvr error";

using platform::ScHandle;

// The manager and the service, both with full access; closed when the
// request is done, on every path.
class ServiceHandles {
 public:
  ServiceHandles() {
    manager_ = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
    if (manager_ != nullptr) service_ = platform::OpenService(manager_, kServiceName, platform::kServiceAllAccess);
  }
  ~ServiceHandles() {
    if (service_ != nullptr) platform::CloseServiceHandle(service_);
    if (manager_ != nullptr) platform::CloseServiceHandle(manager_);
  }
  ServiceHandles(const ServiceHandles&) = delete;
  ServiceHandles& operator=(const ServiceHandles&) = delete;

  ScHandle* service() const { return service_; }

 private:
  ScHandle* manager_ = nullptr;
  ScHandle* service_ = nullptr;
};

int Refused(const char* text) {
  platform::MessageBox(text, kErrorCaption, platform::kMbOk);
  return -1;
}

}  // namespace

std::string ExecutablePath() {
  char path[kMaxPath + 1];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path);
  // A path cut to fit would name another file: the service could never run.
  if (size <= 0 || static_cast<size_t>(size) > kMaxPath) return std::string();
  return std::string(path, static_cast<size_t>(size));
}

int InstallService() {
  ScHandle* manager = platform::OpenSCManager(nullptr, nullptr, platform::kScManagerAllAccess);
  if (manager == nullptr) return 0;
  const std::string path = ExecutablePath();
  if (path.empty()) {
    platform::CloseServiceHandle(manager);
    return 0;
  }
  SetUpEventSource(path);
  const std::string binary_path = "\"" + path + "\" -SERVICE";
  ScHandle* service = platform::CreateService(
      manager, kServiceName, kServiceDisplayName, platform::kServiceAllAccess, platform::kServiceWin32OwnProcess,
      platform::kServiceAutoStart, platform::kServiceErrorNormal, binary_path.c_str());
  if (service == nullptr) {
    platform::CloseServiceHandle(manager);
    return 0;
  }
  const std::string key = std::string(platform::kServicesKey) + "\\" + kServiceName;
  platform::RegistryKey opened;
  if (opened.Open(platform::Hive::kLocalMachine, key) == platform::kErrorSuccess) {
    platform::SetRegistryValue(platform::Hive::kLocalMachine, key, "Description", platform::kRegSz,
                               kServiceDescription, static_cast<uint32_t>(std::char_traits<char>::length(kServiceDescription) + 1));
  }
  platform::CloseServiceHandle(service);
  platform::CloseServiceHandle(manager);
  return 0;
}

int RemoveService() {
  ServiceHandles handles;
  if (handles.service() != nullptr) platform::DeleteService(handles.service());
  return 0;
}

int StartServiceMode() {
  ServiceHandles handles;
  if (handles.service() == nullptr || !platform::StartService(handles.service(), 0, nullptr)) {
    return Refused("Cannot start service");
  }
  return 1;
}

int StopServiceMode() {
  ServiceHandles handles;
  platform::ServiceStatus status;
  if (handles.service() == nullptr ||
      !platform::ControlService(handles.service(), platform::kServiceControlStop, &status)) {
    return Refused("Cannot stop service");
  }
  return 1;
}

const char* ServiceStateText(unsigned state) {
  switch (state) {
    case platform::kServiceStopped: return "tmbsqlsvr server is stopped\n";
    case platform::kServiceStartPending: return "tmbsqlsvr server pending start\n";
    case platform::kServiceStopPending: return "tmbsqlsvr server pending stop\n";
    case platform::kServiceRunning: return "tmbsqlsvr server is running\n";
    default: return "tmbsqlsvr status unknown";
  }
}

int QueryServiceMode() {
  ServiceHandles handles;
  platform::ServiceStatus status;
  if (handles.service() == nullptr || !platform::QueryServiceStatus(handles.service(), &status)) {
    return Refused("Cannot query service");
  }
  platform::MessageBox(ServiceStateText(status.current_state), "Tmbsqlsvr service status", platform::kMbOk);
  return 1;
}

}  // namespace tmb
