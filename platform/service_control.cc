#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ascii_case.h"
#include "platform/registry.h"
#include "platform/registry_write.h"

extern char** environ;

namespace tmb::platform {

struct ScHandle {
  bool manager = false;
  std::string name;  // the service's name, for a service handle
};

struct ServiceStatusHandleRecord {
  std::string name;
};

namespace {

thread_local uint32_t t_last_error = 0;

constexpr const char* kStartVariable = "TMB_SERVICE_START";
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorInvalidHandleCode = 6;
constexpr uint32_t kErrorInvalidParameterCode = 87;

bool Fail(uint32_t error) {
  t_last_error = error;
  return false;
}

template <typename T>
T* FailNull(uint32_t error) {
  t_last_error = error;
  return nullptr;
}

bool Succeed() {
  t_last_error = 0;
  return true;
}

// A name becomes a file name in the run directory and a key name.
bool ValidName(const char* name) {
  if (name == nullptr || *name == '\0' || std::strlen(name) > 256) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strpbrk(name, "/\\") == nullptr;
}

std::string KeyOf(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }
std::string RunFile(const std::string& name, const char* suffix) {
  return ServiceRunDirectory() + "/" + name + suffix;
}

// ---- Processes -----------------------------------------------------------

// The start time of a live process (field 22 of /proc/<pid>/stat), which
// tells it from a later process given the same id; none for a process that
// has ended, a zombie included.
std::optional<std::string> StartTimeOf(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int index = 3; fields >> field; ++index) {
    if (index == 3 && (field == "Z" || field == "X" || field == "x")) return std::nullopt;
    if (index == 22) return field;
  }
  return std::nullopt;
}

// ---- Status file ---------------------------------------------------------

struct StoredStatus {
  ServiceStatus status;
  pid_t pid = 0;
  std::string start_time = "-";
};

bool WriteStatusFile(const std::string& name, const StoredStatus& stored) {
  const ServiceStatus& s = stored.status;
  char line[256];
  std::snprintf(line, sizeof line, "%u %u %u %u %u %u %u %d %s\n", s.current_state, s.controls_accepted,
                s.win32_exit_code, s.service_specific_exit_code, s.check_point, s.wait_hint, s.service_type,
                static_cast<int>(stored.pid), stored.start_time.c_str());
  const std::string path = RunFile(name, ".status");
  // Each writer its own new file: the service and a starter may write at
  // once, and a reader must find one whole status or the other.
  const std::string temp = path + "." + std::to_string(getpid()) + "." +
                           std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const size_t size = std::strlen(line);
  const bool written = ::write(fd, line, size) == static_cast<ssize_t>(size);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// The service's status as a query sees it: stopped when never started, and
// stopped with 1067 when its process is gone without having said so.
StoredStatus CurrentStatus(const std::string& name) {
  StoredStatus stored;
  stored.status.service_type = kServiceWin32OwnProcess;
  stored.status.current_state = kServiceStopped;
  std::ifstream in(RunFile(name, ".status"));
  ServiceStatus s;
  int pid = 0;
  std::string start_time;
  if (!(in >> s.current_state >> s.controls_accepted >> s.win32_exit_code >> s.service_specific_exit_code >>
        s.check_point >> s.wait_hint >> s.service_type >> pid >> start_time)) {
    return stored;
  }
  stored.status = s;
  stored.pid = pid;
  stored.start_time = start_time;
  if (s.current_state != kServiceStopped && StartTimeOf(pid) != start_time) {
    stored.status = ServiceStatus{};
    stored.status.service_type = s.service_type;
    stored.status.current_state = kServiceStopped;
    stored.status.win32_exit_code = kErrorProcessAborted;
    stored.pid = 0;
  }
  return stored;
}

// ---- Command lines -------------------------------------------------------

// ImagePath as Windows splits a command line: blanks separate, double
// quotes group, a backslash is an ordinary character.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word.push_back(c);
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

std::string ImagePathOf(const std::string& name) {
  RegistryKey key;
  if (key.Open(Hive::kLocalMachine, KeyOf(name)) != kErrorSuccess) return std::string();
  char buffer[4096];
  uint32_t size = sizeof buffer;
  uint32_t type = 0;
  if (key.QueryValue("ImagePath", &type, buffer, &size) != kErrorSuccess) return std::string();
  if (type != kRegSz && type != kRegExpandSz) return std::string();
  return std::string(buffer, strnlen(buffer, size));
}

bool MarkedForDelete(const std::string& name) {
  RegistryKey key;
  uint32_t flag = 0, size = sizeof flag, type = 0;
  return key.Open(Hive::kLocalMachine, KeyOf(name)) == kErrorSuccess &&
         key.QueryValue("DeleteFlag", &type, &flag, &size) == kErrorSuccess && type == kRegDword && flag != 0;
}

// Removes a service marked for deletion once it is stopped.
void RemoveIfMarked(const std::string& name, bool stopped) {
  if (!stopped || !MarkedForDelete(name)) return;
  DeleteRegistryKey(Hive::kLocalMachine, KeyOf(name));
  ::unlink(RunFile(name, ".status").c_str());
}

// Whether the service is in the database. A marked service whose process
// has ended without saying so is removed here, at the first look.
bool ServiceExists(const std::string& name) {
  RegistryKey key;
  if (key.Open(Hive::kLocalMachine, KeyOf(name)) != kErrorSuccess) return false;
  if (MarkedForDelete(name) && CurrentStatus(name).status.current_state == kServiceStopped) {
    RemoveIfMarked(name, true);
    return false;
  }
  return true;
}

std::string RandomToken() {
  unsigned char bytes[16] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  std::string token;
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  // Unique even if the random source failed.
  return token + std::to_string(getpid()) + "x" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// The start file: the token on its first line, then each parameter as its
// length on a line and its bytes.
bool WriteStartFile(const std::string& path, const std::string& token, const std::vector<std::string>& args) {
  std::string text = token + "\n";
  for (const std::string& a : args) text += std::to_string(a.size()) + "\n" + a + "\n";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return !out.fail();
}

std::optional<std::vector<std::string>> ReadStartFile(const std::string& path, const std::string& token) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != token) return std::nullopt;
  std::vector<std::string> args;
  while (std::getline(in, line)) {
    size_t size = 0;
    try {
      size = std::stoul(line);
    } catch (...) {
      return std::nullopt;
    }
    if (size > (1u << 20)) return std::nullopt;
    std::string arg(size, '\0');
    if (!in.read(arg.data(), static_cast<std::streamsize>(size))) return std::nullopt;
    in.get();  // the line end after it
    args.push_back(std::move(arg));
  }
  return args;
}

bool ReadFull(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteFull(int fd, const void* data, size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size());
  return true;
}

// The per-service lock that makes two starts one after the other.
class StartLock {
 public:
  explicit StartLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~StartLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  StartLock(const StartLock&) = delete;
  StartLock& operator=(const StartLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Runs `words` detached, blocked until `go` closes; the process id, or -1
// with errno.
struct Spawned {
  pid_t pid = -1;
  int go = -1;      // close to let it run
  int report = -1;  // EOF once it runs its program; an errno when it cannot
};

Spawned SpawnDetached(const std::vector<std::string>& words, const std::string& log_path,
                      const std::string& start_value) {
  // Everything the children need is made here: after fork in a process with
  // threads only async-signal-safe calls are allowed.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kStartVariable, std::strlen(kStartVariable)) == 0 &&
        (*e)[std::strlen(kStartVariable)] == '=') {
      continue;
    }
    env_strings.push_back(*e);
  }
  env_strings.push_back(std::string(kStartVariable) + "=" + start_value);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings = words;
  std::vector<char*> argv;
  for (std::string& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  Spawned result;
  int go[2], report[2];
  if (::pipe2(go, O_CLOEXEC) != 0) return result;
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ::close(go[0]);
    ::close(go[1]);
    return result;
  }
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    const pid_t service = ::fork();
    if (service == 0) {
      ::close(go[1]);
      ::close(report[0]);
      char byte;
      while (::read(go[0], &byte, 1) < 0 && errno == EINTR) {
      }
      const int null = ::open("/dev/null", O_RDONLY);
      const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (null >= 0) ::dup2(null, 0);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      ::execve(argv[0], argv.data(), envp.data());
      const int error = errno;
      ssize_t ignored = ::write(report[1], &error, sizeof error);
      (void)ignored;
      ::_exit(127);
    }
    const int32_t id = service;
    ssize_t ignored = ::write(report[1], &id, sizeof id);
    (void)ignored;
    ::_exit(0);
  }
  ::close(go[0]);
  ::close(report[1]);
  if (middle < 0) {
    ::close(go[1]);
    ::close(report[0]);
    return result;
  }
  int status;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int32_t id = -1;
  if (!ReadFull(report[0], &id, sizeof id) || id <= 0) {
    ::close(go[1]);
    ::close(report[0]);
    return result;
  }
  result.pid = id;
  result.go = go[1];
  result.report = report[0];
  return result;
}

uint32_t ErrorOfErrno(int error) {
  if (error == ENOENT || error == ENOTDIR) return kErrorFileNotFoundCode;
  if (error == EACCES || error == EPERM) return kErrorAccessDeniedCode;
  return kErrorServiceRequestTimeout;
}

// ---- The dispatcher's state ----------------------------------------------

struct Dispatch {
  std::mutex mu;
  bool active = false;
  std::string name;
  ServiceStatus status;
  std::string start_time;
  std::atomic<void (*)(uint32_t)> handler{nullptr};
  int wake[2] = {-1, -1};  // written when the service reports stopped
  ServiceStatusHandleRecord handle;
};

Dispatch& TheDispatch() {
  static Dispatch* dispatch = new Dispatch;  // lives as long as the process
  return *dispatch;
}

}  // namespace

uint32_t GetLastServiceError() { return t_last_error; }

std::string ServiceRunDirectory() {
  const char* dir = std::getenv("TMB_SERVICE_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/run/tmbsqlsvr";
}

ScHandle* OpenSCManager(const char* machine, const char* /*database*/, uint32_t /*access*/) {
  if (machine != nullptr && *machine != '\0') return FailNull<ScHandle>(kErrorAccessDeniedCode);
  std::error_code error;
  std::filesystem::create_directories(ServiceRunDirectory(), error);
  if (error || ::access(ServiceRunDirectory().c_str(), W_OK | X_OK) != 0) {
    return FailNull<ScHandle>(kErrorAccessDeniedCode);
  }
  t_last_error = 0;
  return new ScHandle{true, {}};
}

ScHandle* CreateService(ScHandle* manager, const char* name, const char* display_name, uint32_t /*access*/,
                        uint32_t service_type, uint32_t start_type, uint32_t error_control,
                        const char* binary_path) {
  if (manager == nullptr || !manager->manager) return FailNull<ScHandle>(kErrorInvalidHandleCode);
  if (!ValidName(name)) return FailNull<ScHandle>(kErrorInvalidName);
  if (binary_path == nullptr || *binary_path == '\0') return FailNull<ScHandle>(kErrorInvalidParameterCode);
  if (ServiceExists(name)) {
    return FailNull<ScHandle>(MarkedForDelete(name) ? kErrorServiceMarkedForDelete : kErrorServiceExists);
  }
  const std::string key = KeyOf(name);
  const std::string display = display_name != nullptr ? display_name : name;
  auto text = [&](const char* value, uint32_t type, const std::string& data) {
    return SetRegistryValue(Hive::kLocalMachine, key, value, type, data.c_str(),
                            static_cast<uint32_t>(data.size() + 1)) == kErrorSuccess;
  };
  auto number = [&](const char* value, uint32_t data) {
    return SetRegistryValue(Hive::kLocalMachine, key, value, kRegDword, &data, sizeof data) == kErrorSuccess;
  };
  if (!text("ImagePath", kRegExpandSz, binary_path) || !text("DisplayName", kRegSz, display) ||
      !number("Type", service_type) || !number("Start", start_type) || !number("ErrorControl", error_control) ||
      !text("ObjectName", kRegSz, "LocalSystem")) {
    return FailNull<ScHandle>(kErrorAccessDeniedCode);
  }
  t_last_error = 0;
  return new ScHandle{false, name};
}

ScHandle* OpenService(ScHandle* manager, const char* name, uint32_t /*access*/) {
  if (manager == nullptr || !manager->manager) return FailNull<ScHandle>(kErrorInvalidHandleCode);
  if (!ValidName(name)) return FailNull<ScHandle>(kErrorInvalidName);
  if (!ServiceExists(name)) return FailNull<ScHandle>(kErrorServiceDoesNotExist);
  t_last_error = 0;
  return new ScHandle{false, name};
}

bool DeleteService(ScHandle* service) {
  if (service == nullptr || service->manager) return Fail(kErrorInvalidHandleCode);
  const std::string& name = service->name;
  if (!ServiceExists(name)) return Fail(kErrorServiceDoesNotExist);
  if (MarkedForDelete(name)) return Fail(kErrorServiceMarkedForDelete);
  if (CurrentStatus(name).status.current_state != kServiceStopped) {
    // Removed now, it could no longer be stopped by name.
    const uint32_t flag = 1;
    if (SetRegistryValue(Hive::kLocalMachine, KeyOf(name), "DeleteFlag", kRegDword, &flag, sizeof flag) !=
        kErrorSuccess) {
      return Fail(kErrorAccessDeniedCode);
    }
    // It may have stopped meanwhile, with nobody left to see the mark.
    RemoveIfMarked(name, CurrentStatus(name).status.current_state == kServiceStopped);
    return Succeed();
  }
  const long result = DeleteRegistryKey(Hive::kLocalMachine, KeyOf(name));
  if (result == kErrorFileNotFound) return Fail(kErrorServiceDoesNotExist);
  if (result != kErrorSuccess) return Fail(kErrorAccessDeniedCode);
  ::unlink(RunFile(name, ".status").c_str());
  return Succeed();
}

bool StartService(ScHandle* service, int argc, const char* const* argv) {
  if (service == nullptr || service->manager) return Fail(kErrorInvalidHandleCode);
  const std::string& name = service->name;
  StartLock lock(RunFile(name, ".lock"));
  if (!lock.held()) return Fail(kErrorAccessDeniedCode);
  if (!ServiceExists(name)) return Fail(kErrorServiceDoesNotExist);
  if (CurrentStatus(name).status.current_state != kServiceStopped) return Fail(kErrorServiceAlreadyRunning);
  if (MarkedForDelete(name)) return Fail(kErrorServiceMarkedForDelete);
  const std::vector<std::string> words = SplitCommandLine(ImagePathOf(name));
  if (words.empty()) return Fail(kErrorFileNotFoundCode);

  std::vector<std::string> args{name};
  for (int i = 0; i < argc && argv != nullptr; ++i) args.push_back(argv[i] != nullptr ? argv[i] : "");
  const std::string token = RandomToken();
  const std::string start_file = RunFile(name, ".start");
  if (!WriteStartFile(start_file, token, args)) return Fail(kErrorAccessDeniedCode);

  Spawned spawned = SpawnDetached(words, RunFile(name, ".log"), name + ":" + token);
  if (spawned.pid < 0) {
    ::unlink(start_file.c_str());
    return Fail(kErrorAccessDeniedCode);
  }
  StoredStatus pending;
  pending.status.service_type = kServiceWin32OwnProcess;
  pending.status.current_state = kServiceStartPending;
  pending.pid = spawned.pid;
  pending.start_time = StartTimeOf(spawned.pid).value_or("-");
  const bool recorded = WriteStatusFile(name, pending);
  ::close(spawned.go);
  int exec_error = 0;
  const bool exec_failed = ReadFull(spawned.report, &exec_error, sizeof exec_error);
  ::close(spawned.report);

  auto stopped = [&](uint32_t code) {
    ::unlink(start_file.c_str());  // a late process must not take it
    StoredStatus s;
    s.status.service_type = kServiceWin32OwnProcess;
    s.status.current_state = kServiceStopped;
    s.status.win32_exit_code = code;
    WriteStatusFile(name, s);
    return Fail(code);
  };
  if (exec_failed) return stopped(ErrorOfErrno(exec_error));
  if (!recorded) return stopped(kErrorAccessDeniedCode);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kServiceRequestTimeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::access(start_file.c_str(), F_OK) != 0) return Succeed();  // taken by the dispatcher
    if (StartTimeOf(spawned.pid) != pending.start_time) return stopped(kErrorServiceRequestTimeout);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::unlink(start_file.c_str());
  return Fail(kErrorServiceRequestTimeout);
}

bool QueryServiceStatus(ScHandle* service, ServiceStatus* status) {
  if (service == nullptr || service->manager) return Fail(kErrorInvalidHandleCode);
  if (status == nullptr) return Fail(kErrorInvalidParameterCode);
  if (!ServiceExists(service->name)) return Fail(kErrorServiceDoesNotExist);
  *status = CurrentStatus(service->name).status;
  return Succeed();
}

uint32_t ServiceProcessId(ScHandle* service) {
  if (service == nullptr || service->manager) return 0;
  return static_cast<uint32_t>(CurrentStatus(service->name).pid);
}

bool ControlService(ScHandle* service, uint32_t control, ServiceStatus* status) {
  if (service == nullptr || service->manager) return Fail(kErrorInvalidHandleCode);
  if (status == nullptr) return Fail(kErrorInvalidParameterCode);
  if (!ServiceExists(service->name)) return Fail(kErrorServiceDoesNotExist);
  const StoredStatus current = CurrentStatus(service->name);
  const ServiceStatus& s = current.status;
  if (s.current_state == kServiceStopped) return Fail(kErrorServiceNotActive);
  if (s.current_state == kServiceStartPending || s.current_state == kServiceStopPending) {
    return Fail(kErrorServiceCannotAcceptCtrl);
  }
  const bool accepted =
      control == kServiceControlInterrogate || (control >= 128 && control <= 255) ||
      (control == kServiceControlStop && (s.controls_accepted & kServiceAcceptStop)) ||
      ((control == kServiceControlPause || control == kServiceControlContinue) &&
       (s.controls_accepted & kServiceAcceptPauseContinue));
  if (!accepted) return Fail(kErrorInvalidServiceControl);

  sockaddr_un address;
  if (!SocketAddress(RunFile(service->name, ".sock"), &address)) return Fail(kErrorServiceRequestTimeout);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Fail(kErrorServiceRequestTimeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return Fail(kErrorServiceNotActive);
  }
  uint32_t reply[8];
  bool ok = WriteFull(fd, &control, sizeof control);
  if (ok) {
    pollfd p{fd, POLLIN, 0};
    ok = ::poll(&p, 1, kServiceRequestTimeoutSeconds * 1000) > 0 && ReadFull(fd, reply, sizeof reply);
  }
  ::close(fd);
  if (!ok) return Fail(kErrorServiceRequestTimeout);
  *status = ServiceStatus{reply[1], reply[2], reply[3], reply[4], reply[5], reply[6], reply[7]};
  if (reply[0] != 0) return Fail(reply[0]);
  return Succeed();
}

bool CloseServiceHandle(ScHandle* handle) {
  if (handle == nullptr) return Fail(kErrorInvalidHandleCode);
  delete handle;
  return Succeed();
}

// ---- The service's side ----------------------------------------------------

bool StartServiceCtrlDispatcher(const ServiceTableEntry* table) {
  const char* start = std::getenv(kStartVariable);
  if (start == nullptr || table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
    return Fail(kErrorFailedServiceControllerConnect);
  }
  const std::string value = start;
  ::unsetenv(kStartVariable);  // the service's own children are no services
  const size_t colon = value.find(':');
  const std::string name = value.substr(0, colon);
  const std::string token = colon == std::string::npos ? std::string() : value.substr(colon + 1);
  if (!EqualsIgnoringCase(name, table[0].name) || !ValidName(name.c_str())) {
    return Fail(kErrorFailedServiceControllerConnect);
  }
  const std::string start_file = RunFile(name, ".start");
  std::optional<std::vector<std::string>> args = ReadStartFile(start_file, token);
  if (!args || args->empty()) return Fail(kErrorFailedServiceControllerConnect);

  Dispatch& d = TheDispatch();
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.active) return Fail(kErrorFailedServiceControllerConnect);
    d.active = true;
    d.name = name;
    d.handle.name = name;
    d.start_time = StartTimeOf(getpid()).value_or("-");
    d.status = ServiceStatus{kServiceWin32OwnProcess, kServiceStartPending, 0, 0, 0, 0, 0};
  }
  const std::string socket_path = RunFile(name, ".sock");
  sockaddr_un address;
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::unlink(socket_path.c_str());
  if (listener < 0 || ::pipe2(d.wake, O_CLOEXEC) != 0 || !SocketAddress(socket_path, &address) ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0) {
    if (listener >= 0) ::close(listener);
    std::lock_guard<std::mutex> lock(d.mu);
    d.active = false;
    return Fail(kErrorFailedServiceControllerConnect);
  }
  ::unlink(start_file.c_str());  // tells the starter that the service is here

  std::vector<std::string> arg_strings = *args;
  std::vector<char*> argv;
  for (std::string& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  void (*main)(uint32_t, char**) = table[0].main;
  std::thread service_main([&] { main(static_cast<uint32_t>(arg_strings.size()), argv.data()); });

  auto stopped = [&] {
    std::lock_guard<std::mutex> lock(d.mu);
    return d.status.current_state == kServiceStopped;
  };
  while (!stopped()) {
    pollfd p[2] = {{listener, POLLIN, 0}, {d.wake[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (!(p[0].revents & POLLIN)) continue;
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    pollfd c{connection, POLLIN, 0};
    uint32_t control = 0;
    if (::poll(&c, 1, 5000) > 0 && ReadFull(connection, &control, sizeof control)) {
      // The handler runs here, on the dispatcher's thread, as on Windows.
      if (void (*handler)(uint32_t) = d.handler.load()) handler(control);
      uint32_t reply[8];
      {
        std::lock_guard<std::mutex> lock(d.mu);
        const ServiceStatus& s = d.status;
        reply[0] = 0;
        reply[1] = s.service_type;
        reply[2] = s.current_state;
        reply[3] = s.controls_accepted;
        reply[4] = s.win32_exit_code;
        reply[5] = s.service_specific_exit_code;
        reply[6] = s.check_point;
        reply[7] = s.wait_hint;
      }
      WriteFull(connection, reply, sizeof reply);
    }
    ::close(connection);
  }
  service_main.join();
  ::close(listener);
  {
    std::lock_guard<std::mutex> lock(d.mu);
    d.active = false;
    d.handler = nullptr;
    ::close(d.wake[0]);
    ::close(d.wake[1]);
    d.wake[0] = d.wake[1] = -1;
  }
  return Succeed();
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, void (*handler)(uint32_t control)) {
  Dispatch& d = TheDispatch();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.active || name == nullptr || !EqualsIgnoringCase(name, d.name) || handler == nullptr) {
    return FailNull<ServiceStatusHandleRecord>(kErrorServiceNotInExe);
  }
  d.handler = handler;
  t_last_error = 0;
  return &d.handle;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) {
  Dispatch& d = TheDispatch();
  std::lock_guard<std::mutex> lock(d.mu);
  if (!d.active || handle != &d.handle) return Fail(kErrorInvalidHandleCode);
  if (status == nullptr) return Fail(kErrorInvalidParameterCode);
  d.status = *status;
  StoredStatus stored;
  stored.status = *status;
  if (status->current_state == kServiceStopped) {
    // Gone from the run directory before the status says stopped: a new
    // start may then make its own channel, which this process must not
    // remove on its way out.
    ::unlink(RunFile(d.name, ".sock").c_str());
  } else {
    stored.pid = getpid();
    stored.start_time = d.start_time;
  }
  const bool written = WriteStatusFile(d.name, stored);
  if (status->current_state == kServiceStopped) {
    RemoveIfMarked(d.name, true);
    const char byte = 1;
    ssize_t ignored = ::write(d.wake[1], &byte, 1);
    (void)ignored;
  }
  return written ? Succeed() : Fail(kErrorAccessDeniedCode);
}

}  // namespace tmb::platform
