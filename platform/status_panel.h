// A small modeless window on a text terminal, standing in for a dialog box:
// a caption, a few rows of text and one push button, drawn in a frame on the
// terminal of standard input and output. While it is shown the terminal
// neither echoes nor edits lines (Ctrl-C still raises SIGINT); the space bar
// presses the button, every other key does nothing. Given signals (blocked
// by the caller) act as the window's close box. Without a terminal the rows
// are printed once instead (PrintPanelText).
#pragma once

#include <signal.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

namespace tmb::platform {

struct PanelText {
  std::string caption;
  std::vector<std::string> rows;
  std::string button;
};

// Whether standard input and output are a terminal that this process may
// take over: both are terminals and the process is in the terminal's
// foreground group (a server started with "&" must not stop itself on
// SIGTTIN or SIGTTOU).
bool CanShowPanel();

// The caption and the rows, one a line, on standard output, flushed.
void PrintPanelText(const PanelText& text);

class StatusPanel {
 public:
  enum class Event {
    kNothing,      // the time ran out, or a key that does nothing
    kButton,       // the button was pressed
    kClose,        // one of the close signals arrived
    kTerminalGone  // standard input ended or broke
  };

  // Takes over the terminal and draws the panel; ok() tells whether it could.
  StatusPanel(const PanelText& text, const sigset_t& close_signals);
  // Gives the terminal back as it was found.
  ~StatusPanel();
  StatusPanel(const StatusPanel&) = delete;
  StatusPanel& operator=(const StatusPanel&) = delete;

  bool ok() const { return ok_; }

  // Waits up to `timeout` for a key or a close signal; reports at most one.
  Event Wait(std::chrono::milliseconds timeout);

 private:
  bool ok_ = false;
  bool terminal_taken_ = false;
  int signal_fd_ = -1;
  termios saved_terminal_{};  // as found at start, given back at the end
};

}  // namespace tmb::platform
