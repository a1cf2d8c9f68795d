// Test support: a real terminal for a program under test, a detached tmux
// session on a tmux server of its own (its socket in a directory the test
// owns, so nothing of the user's is touched), driven with send-keys and
// read with capture-pane. The tmux server is killed when the object goes,
// so a failed assertion leaves no session behind.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/text_files.h"

namespace tmb::test {

class TmuxTerminal {
 public:
  // `dir`: a directory of the test's own for the socket; `session`: the
  // session's name.
  TmuxTerminal(const std::string& dir, const std::string& session)
      : socket_(dir + "/tmux.sock"), session_(session) {}
  ~TmuxTerminal() { Run("kill-server"); }
  TmuxTerminal(const TmuxTerminal&) = delete;
  TmuxTerminal& operator=(const TmuxTerminal&) = delete;

  static bool Available() { return std::system("command -v tmux >/dev/null") == 0; }

  // Runs `shell_command` on a terminal of `columns` x `rows`. It goes to
  // tmux in double quotes: it must hold no double quote, `$` or backquote.
  bool Start(const std::string& shell_command, int columns = 100, int rows = 30) {
    return Run("new-session -d -s " + session_ + " -x " + std::to_string(columns) + " -y " +
               std::to_string(rows) + " \"" + shell_command + "\"") == 0;
  }

  // Keys as tmux's send-keys takes them (words such as Enter, Up, C-z).
  void Keys(const std::string& keys) { Run("send-keys -t " + session_ + " " + keys); }

  // What the terminal shows (tmux drops trailing blanks of each line).
  std::string Screen() const { return CommandOutput(Command("capture-pane -p -t " + session_)); }

  // Waits, up to `limit`, until `text` is on the screen `times` times.
  bool Shows(const std::string& text, size_t times = 1,
             std::chrono::seconds limit = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const std::string now = Screen();
      size_t n = 0;
      for (size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) ++n;
      if (n >= times) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // The process id of the shell in the session's pane.
  int PanePid() const {
    const std::string pid = CommandOutput(Command("display -p -t " + session_ + " '#{pane_pid}'"));
    return std::atoi(pid.c_str());
  }

 private:
  std::string Command(const std::string& args) const {
    return "tmux -u -S '" + socket_ + "' " + args + " 2>/dev/null";
  }
  int Run(const std::string& args) const {
    return std::system((Command(args) + " >/dev/null").c_str());
  }

  std::string socket_;
  std::string session_;
};

}  // namespace tmb::test
