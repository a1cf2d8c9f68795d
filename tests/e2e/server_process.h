// Test support: runs the real tmbsqlsvr binary on a free loopback port with
// registry files of the test's own, and talks to it over raw sockets.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tmb::test {

using Bytes = std::vector<uint8_t>;

// A TCP port that was free a moment ago, chosen at random below the
// kernel's ephemeral range so that no client socket can take it.
uint16_t FreePort();

// A connected TCP socket to `port` on the loopback address, from `source`
// (such as "127.0.0.2") when given; -1 when it cannot connect.
int ConnectLoopback(uint16_t port, const char* source = nullptr);

// The registry text of a machine hive with a catalog key, and `extra` lines
// under the settings key.
std::string MachineHive(const std::string& settings_lines = "", bool with_catalogs = true);

// How a program run to its end went: its exit code (-1 when it did not
// exit), standard output and standard error.
struct ProgramRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `program` with `args` (each passed as one argument) and `input` on
// its standard input; its outputs pass through files in `dir`.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& dir, const std::string& input = "");

class ServerProcess {
 public:
  ServerProcess();
  ~ServerProcess();

  // Registry file contents; empty means no file.
  std::string user_hive;
  std::string machine_hive = MachineHive();
  // Further environment entries, "NAME=value".
  std::vector<std::string> env;
  // When not 0, the server's descriptor limit, soft and hard alike (so that
  // the server cannot raise it), set in the child alone.
  unsigned descriptor_limit = 0;
  // When not 0, the soft limit alone, below the hard one (descriptor_limit
  // when that is set, else the test's own): a limit the server may raise.
  unsigned descriptor_soft_limit = 0;
  // Arguments after the program name; by default "-P:<port>".
  std::vector<std::string> args;

  // Starts the binary and waits until it accepts connections. False when
  // it exited first (exit_code() then says how). With the default
  // arguments, a port taken in the meantime is replaced by another.
  bool Start();
  // Sends SIGTERM and waits; returns the exit status.
  int Stop();
  // The check every test ends with: stops a running server and says what was
  // wrong with its end. Empty when a running server exited 0 on SIGTERM
  // within the stop bound, and standard error holds no report of a sanitizer
  // or of undefined behaviour. A server that had already exited is judged by
  // its standard error alone.
  std::string StopProblems();
  // Waits for the process to end on its own, at most `seconds`.
  bool WaitExit(int seconds);

  uint16_t port() const { return port_; }
  // The server's process id while it runs, else -1.
  pid_t pid() const { return pid_; }
  // The port Start waits on, when the server takes it from elsewhere.
  void set_port(uint16_t port) { port_ = port; }
  int exit_code() const { return exit_code_; }
  const std::string& dir() const { return dir_; }
  // What the server wrote to standard error so far.
  std::string Stderr() const;
  // What it wrote to standard output (a file, not a terminal) so far.
  std::string Stdout() const;

 private:
  bool StartOnce();

  std::string dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int exit_code_ = -1;
};

// A plain TCP connection for byte-exact checks of the wire.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  // From another loopback address, such as "127.0.0.2": a client of its own
  // as far as the server can tell.
  RawConnection(uint16_t port, const char* source);
  ~RawConnection();
  bool ok() const { return fd_ >= 0; }
  void Send(const Bytes& bytes);
  // Sends one plain frame holding `body`.
  void SendPlain(const Bytes& body);
  // Reads one whole frame, header included. Empty when the connection closed.
  Bytes ReadFrame();
  // Reads until the peer closes (at most 5 seconds).
  Bytes ReadAll();
  // True when the peer closed the connection (within 5 seconds).
  bool PeerClosed();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

Bytes Frame(uint32_t n, uint32_t u, const Bytes& body);
// The body of a frame read by RawConnection::ReadFrame.
Bytes BodyOf(const Bytes& frame);

}  // namespace tmb::test
