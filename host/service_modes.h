// The service-management modes of the command line: install, remove, start,
// stop and query the "tmbsqlsvr" service through the service control
// manager. Each returns the process exit code of its mode; the management
// modes show what went wrong only in message boxes.
#pragma once

#include <string>

namespace tmb {

constexpr const char* kServiceName = "tmbsqlsvr";
constexpr const char* kServiceDisplayName = "Tamblo SQL Service";
constexpr const char* kServiceDescription = "Provides access to Tamblo data sources.";

// The running executable's full path; empty when the system cannot say or
// the path is longer than the 260 characters a path may have here.
std::string ExecutablePath();

// 0 in every case; nothing is shown.
int InstallService();
int RemoveService();

// 1 on success, -1 (with its message box) on any failure.
int StartServiceMode();
int StopServiceMode();
int QueryServiceMode();

// The query's text for a service state.
const char* ServiceStateText(unsigned state);

}  // namespace tmb
