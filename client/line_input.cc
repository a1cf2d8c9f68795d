#include "client/line_input.h"

// libedit's readline interface; BSD-licensed, unlike GNU readline.
#include <editline/readline.h>

#include <cstdlib>
#include <iostream>

namespace tmb::cli {

LineInput::LineInput(bool terminal, std::string history)
    : terminal_(terminal), history_(terminal ? std::move(history) : std::string()) {
  if (!terminal_) return;
  using_history();
  stifle_history(kMaxHistory);
  if (!history_.empty()) read_history(history_.c_str());
}

LineInput::~LineInput() {
  if (terminal_ && !history_.empty()) write_history(history_.c_str());
}

bool LineInput::Read(const char* prompt, std::string* line) {
  if (!terminal_) return static_cast<bool>(std::getline(std::cin, *line));
  char* text = readline(prompt);
  if (text == nullptr) return false;
  line->assign(text);
  std::free(text);
  return true;
}

void LineInput::Remember(const std::string& entry) {
  if (!terminal_) return;
  std::string one = entry;
  // One history entry per statement: recalled whole, on one line.
  while (!one.empty() && (one.back() == '\n' || one.back() == '\r')) one.pop_back();
  for (char& c : one) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (!one.empty()) add_history(one.c_str());
}

}  // namespace tmb::cli
