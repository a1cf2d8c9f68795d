// The Windows service control manager and service dispatcher, for one
// machine. The service database is the machine hive's key
// System\CurrentControlSet\Services\<name> with the values Windows keeps
// there (ImagePath, DisplayName, Type, Start, ErrorControl, Description).
//
// Run directory: TMB_SERVICE_DIR, else /run/tmbsqlsvr. For each service it
// holds <name>.status (the last status the service reported, with its
// process), <name>.sock (the control channel of a running service),
// <name>.start (the start parameters, until the service takes them),
// <name>.lock (held while a start is under way) and <name>.log (the
// service's standard output and error).
//
// StartService runs ImagePath (a command line: a quoted or plain program
// path, then its arguments) as a detached process in its own session. It
// inherits the environment and the current directory of the caller, so it
// reads the same hives and writes the same event log. StartService returns
// once the process has entered the dispatcher, not waiting for it to run.
// A process that this layer did not start cannot enter the dispatcher.
//
// A status that claims a live service whose process has gone (a crash, a
// kill) is taken as stopped with exit code 1067, as the Windows manager
// records a service process that ended without reporting itself stopped.
//
// Every call sets the calling thread's last error (GetLastServiceError) to
// the Windows error code of its outcome.
#pragma once

#include <cstdint>
#include <string>

namespace tmb::platform {

constexpr uint32_t kErrorAccessDeniedCode = 5;
constexpr uint32_t kErrorFileNotFoundCode = 2;
constexpr uint32_t kErrorInvalidServiceControl = 1052;
constexpr uint32_t kErrorServiceRequestTimeout = 1053;
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceCannotAcceptCtrl = 1061;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr uint32_t kErrorServiceSpecificError = 1066;
constexpr uint32_t kErrorProcessAborted = 1067;
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceNotInExe = 1083;

constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32 = 0x30;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceErrorNormal = 1;

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;

constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;

// The SERVICE_STATUS record.
struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// The machine hive's key of the service database.
constexpr const char* kServicesKey = "System\\CurrentControlSet\\Services";

// How long StartService waits for the process to enter the dispatcher, and
// ControlService for the service's handler, as the Windows manager does.
constexpr int kServiceRequestTimeoutSeconds = 30;

uint32_t GetLastServiceError();

// The run directory after the environment rule above.
std::string ServiceRunDirectory();

// ---- The manager's side -----------------------------------------------

struct ScHandle;

// The local machine's manager (`machine` must be null); null when the run
// directory can neither be found nor made (error 5).
ScHandle* OpenSCManager(const char* machine, const char* database, uint32_t access);

// Adds the service's key; null with 1073 when it exists, 1072 while it is
// marked for deletion.
ScHandle* CreateService(ScHandle* manager, const char* name, const char* display_name, uint32_t access,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path);

// Null with 1060 when the service is not in the database.
ScHandle* OpenService(ScHandle* manager, const char* name, uint32_t access);

// Removes the service's key and its status. A service that is not stopped
// is only marked (the value DeleteFlag, as Windows marks it): it can still
// be queried and stopped, it cannot be started or created again (1072), and
// it goes once it is stopped.
bool DeleteService(ScHandle* service);

// Starts the service with `argc` start parameters; 1056 when it is not
// stopped, 1072 when it is marked for deletion, 1053 when its process ended before entering the dispatcher or
// did not enter it in time, 2 or 5 when ImagePath cannot be run.
bool StartService(ScHandle* service, int argc, const char* const* argv);

// Sends `control` and returns the status the service then reports: 1062
// when it is not running, 1061 while it starts or stops, 1052 for a control
// it does not accept, 1053 when it does not answer in time.
bool ControlService(ScHandle* service, uint32_t control, ServiceStatus* status);

bool QueryServiceStatus(ScHandle* service, ServiceStatus* status);

// The service's process while it is not stopped, else 0.
uint32_t ServiceProcessId(ScHandle* service);

bool CloseServiceHandle(ScHandle* handle);

// ---- The service's side -----------------------------------------------

struct ServiceTableEntry {
  const char* name;
  void (*main)(uint32_t argc, char** argv);  // argv[0] is the service name
};

// Runs the service of `table` (a table of one own-process service, ended by
// an entry with a null name): calls its main function on a thread of its
// own with the start parameters, and the control handler on this thread for
// each control, until the service reports itself stopped. False with 1063
// when this layer did not start the process.
bool StartServiceCtrlDispatcher(const ServiceTableEntry* table);

struct ServiceStatusHandleRecord;
using ServiceStatusHandle = ServiceStatusHandleRecord*;

// For the service main function: null with 1083 for a name that is not the
// dispatched service's, or outside the dispatcher.
ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, void (*handler)(uint32_t control));

// Makes `status` the service's status, for queries and control replies.
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status);

}  // namespace tmb::platform
