#include "tests/e2e/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "wire/primitives.h"

namespace tmb::test {
namespace {

std::string ServerBinary() {
  // The build's own binary, unless the environment names another.
  const char* bin = std::getenv("TMB_SERVER_BIN");
  return bin != nullptr ? bin : TMB_SERVER_BIN_DEFAULT;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace

int ConnectLoopback(uint16_t port, const char* source) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (source != nullptr) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

}  // namespace

namespace {

// The first port of the kernel's ephemeral range: every client socket of
// every test running beside this one draws its local port from there, so a
// listening port chosen inside it can be taken by a client before the
// server binds it.
int EphemeralStart() {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  int first = 0;
  return in >> first && first > 2048 ? first : 32768;
}

bool CanListenOn(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return free;
}

// True when process `pid` holds a socket listening on `port`: a probe that
// connects may otherwise have reached another test's server.
bool ListensOn(pid_t pid, uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  std::vector<std::string> inodes;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    const size_t colon = local.find(':');
    if (colon == std::string::npos || state != "0A") continue;  // 0A: listening
    if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes.push_back(inode);
  }
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string link = std::filesystem::read_symlink(entry.path(), error).string();
    for (const std::string& inode : inodes) {
      if (link == "socket:[" + inode + "]") return true;
    }
  }
  return false;
}

}  // namespace

uint16_t FreePort() {
  static std::mutex mutex;
  static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  const std::lock_guard lock(mutex);
  const int high = EphemeralStart() - 1;
  const int low = high > 12000 ? 10000 : 1024;
  std::uniform_int_distribution<int> pick(low, high);
  for (int tries = 0; tries < 1000; ++tries) {
    const auto port = static_cast<uint16_t>(pick(random));
    if (CanListenOn(port)) return port;
  }
  throw std::runtime_error("no free port below the ephemeral range");
}

std::string MachineHive(const std::string& settings_lines, bool with_catalogs) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\r\n" + settings_lines + "\r\n";
  if (with_catalogs) {
    text += "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n";
    text += "\"Demo\"=\"*[demo][][]\"\r\n";
  }
  return text;
}

ServerProcess::ServerProcess() {
  char pattern[] = "/tmp/tmbsqlsvr-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  port_ = FreePort();
  args = {"-P:" + std::to_string(port_)};
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop();
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (std::system(cmd.c_str()) != 0) {
    // Leftover temporary files are harmless.
  }
}

bool ServerProcess::Start() {
  // Another test may take the chosen port between its choice and the
  // server's bind; with the default arguments the server gets another.
  for (int tries = 0; tries < 5; ++tries) {
    const bool default_args = args.size() == 1 && args[0] == "-P:" + std::to_string(port_);
    if (StartOnce()) return true;
    // A failed start of any other kind leaves the port free.
    if (!default_args || exit_code_ < 0 || CanListenOn(port_)) return false;
    port_ = FreePort();
    args = {"-P:" + std::to_string(port_)};
  }
  return false;
}

bool ServerProcess::StartOnce() {
  const std::string user = dir_ + "/user.reg";
  const std::string machine = dir_ + "/machine.reg";
  if (!user_hive.empty()) WriteFile(user, user_hive);
  if (!machine_hive.empty()) WriteFile(machine, machine_hive);
  const std::string bin = ServerBinary();

  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(127);
    const int err = open((dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    const int out = open((dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    setenv("TMB_USER_REGISTRY", user.c_str(), 1);
    setenv("TMB_MACHINE_REGISTRY", machine.c_str(), 1);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (descriptor_limit != 0 || descriptor_soft_limit != 0) {
      rlimit limit{};
      if (getrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
      if (descriptor_limit != 0) limit.rlim_max = descriptor_limit;
      limit.rlim_cur = descriptor_soft_limit != 0 ? descriptor_soft_limit : limit.rlim_max;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return false;
    }
    const int fd = ConnectLoopback(port_);
    if (fd >= 0) {
      close(fd);
      if (ListensOn(pid_, port_)) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ServerProcess::WaitExit(int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pid_ <= 0;
}

int ServerProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (!WaitExit(30)) {
      kill(pid_, SIGKILL);
      WaitExit(5);
    }
  }
  return exit_code_;
}

std::string ServerProcess::StopProblems() {
  std::string problems;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    // The server waits a few seconds for its sessions; a slow, loaded
    // machine gets ample room beyond that.
    if (!WaitExit(30)) {
      problems += "no exit within 30 s of SIGTERM; ";
      kill(pid_, SIGKILL);
      WaitExit(5);
    } else if (exit_code_ != 0) {
      problems += "exit status " + std::to_string(exit_code_) + " after SIGTERM; ";
    }
  }
  const std::string err = Stderr();
  for (const char* mark : {"Sanitizer", "runtime error"}) {
    if (err.find(mark) != std::string::npos) {
      problems += std::string("standard error reports \"") + mark + "\"; ";
    }
  }
  if (!problems.empty()) problems += "standard error:\n" + err;
  return problems;
}

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& dir, const std::string& input) {
  // Quoted for the shell: no argument of a test holds a quote.
  std::string command = "'" + program + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  const std::string in = dir + "/run.in", out = dir + "/run.out", err = dir + "/run.err";
  WriteFile(in, input);
  command += " <'" + in + "' >'" + out + "' 2>'" + err + "'";
  ProgramRun run;
  const int status = std::system(command.c_str());
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadWhole(out);
  run.err = ReadWhole(err);
  return run;
}

std::string ServerProcess::Stderr() const { return ReadWhole(dir_ + "/stderr.txt"); }

std::string ServerProcess::Stdout() const { return ReadWhole(dir_ + "/stdout.txt"); }

RawConnection::RawConnection(uint16_t port) : fd_(ConnectLoopback(port)) {}

RawConnection::RawConnection(uint16_t port, const char* source)
    : fd_(ConnectLoopback(port, source)) {}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

void RawConnection::Send(const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return;
    sent += static_cast<size_t>(r);
  }
}

void RawConnection::SendPlain(const Bytes& body) {
  Send(Frame(static_cast<uint32_t>(body.size()), static_cast<uint32_t>(body.size()), body));
}

Bytes RawConnection::ReadFrame() {
  Bytes frame(8);
  if (!WaitReadable(fd_, 10000) || recv(fd_, frame.data(), 8, MSG_WAITALL) != 8) return {};
  const uint32_t n = LoadBigEndian32(frame.data());
  frame.resize(8 + n);
  if (n > 0 && recv(fd_, frame.data() + 8, n, MSG_WAITALL) != static_cast<ssize_t>(n)) return {};
  return frame;
}

Bytes RawConnection::ReadAll() {
  Bytes all;
  uint8_t chunk[4096];
  while (WaitReadable(fd_, 5000)) {
    const ssize_t r = recv(fd_, chunk, sizeof chunk, 0);
    if (r <= 0) break;
    all.insert(all.end(), chunk, chunk + r);
  }
  return all;
}

bool RawConnection::PeerClosed() {
  if (!WaitReadable(fd_, 5000)) return false;
  uint8_t byte;
  return recv(fd_, &byte, 1, 0) <= 0;
}

Bytes Frame(uint32_t n, uint32_t u, const Bytes& body) {
  Bytes frame(8 + body.size());
  StoreBigEndian32(frame.data(), n);
  StoreBigEndian32(frame.data() + 4, u);
  std::copy(body.begin(), body.end(), frame.begin() + 8);
  return frame;
}

Bytes BodyOf(const Bytes& frame) {
  return frame.size() < 8 ? Bytes{} : Bytes(frame.begin() + 8, frame.end());
}

}  // namespace tmb::test
