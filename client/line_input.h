// The lines a prompt reads. On a terminal they are read with line editing
// (libedit: arrows, Ctrl-R, the keys of the user's editrc) and the history
// of earlier sessions, kept in a file; otherwise they are read as they come.
//
//   LineInput in(isatty(STDIN_FILENO) != 0, home + "/.tmbcli_history");
//   std::string line;
//   while (in.Read("sql> ", &line)) { ...; in.Remember(statement); }
#pragma once

#include <string>

namespace tmb::cli {

class LineInput {
 public:
  // `history` empty: nothing is kept. Only a terminal keeps history.
  LineInput(bool terminal, std::string history);
  // Writes the history back, the last kMaxHistory entries.
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

  static constexpr int kMaxHistory = 1000;

  bool terminal() const { return terminal_; }
  // The next line without its line end; false at the end of the input.
  // `prompt` is shown on a terminal only.
  bool Read(const char* prompt, std::string* line);
  // Adds an entry (a whole statement, its lines joined) to the history.
  void Remember(const std::string& entry);

 private:
  bool terminal_;
  std::string history_;
};

}  // namespace tmb::cli
