#include "platform/status_panel.h"

#include <errno.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tmb::platform {
namespace {

// Columns a UTF-8 text takes: one per character (the texts are Latin).
size_t Columns(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Padded(const std::string& text, size_t columns) {
  const size_t used = Columns(text);
  return text + std::string(columns > used ? columns - used : 0, ' ');
}

// The panel, drawn from the top left corner of a cleared screen.
std::string Drawing(const PanelText& text) {
  const std::string button = "[ " + text.button + " ]";
  size_t inner = std::max(Columns(text.caption) + 4, Columns(button) + 4);
  for (const std::string& row : text.rows) inner = std::max(inner, Columns(row) + 4);

  std::string out = "\x1b[H\x1b[2J";  // home, clear
  std::string top = "+- " + text.caption + " ";
  top += std::string(inner + 2 - Columns(top) - 1, '-') + "+";
  out += top + "\r\n";
  const std::string empty = "|" + std::string(inner, ' ') + "|\r\n";
  out += empty;
  for (const std::string& row : text.rows) out += "|  " + Padded(row, inner - 2) + "|\r\n";
  out += empty;
  const size_t left = (inner - Columns(button)) / 2;
  out += "|" + std::string(left, ' ') + Padded(button, inner - left) + "|\r\n";
  out += "+" + std::string(inner, '-') + "+\r\n";
  return out;
}

// Whether the bytes a read brought hold a press of the space bar. Keys such
// as the arrows arrive as escape sequences ("ESC [ 1 ; 5 A"), whose inner
// bytes are no keys of their own and are skipped.
bool HasSpaceKey(const char* keys, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (keys[i] == ' ') return true;
    if (keys[i] == '\x1b' && i + 1 < count && (keys[i + 1] == '[' || keys[i + 1] == 'O')) {
      i += 2;
      while (i < count && !(keys[i] >= 0x40 && keys[i] <= 0x7E)) ++i;
    }
  }
  return false;
}

// Alternate screen and hidden cursor while the panel shows; their undoing.
constexpr const char* kEnterScreen = "\x1b[?1049h\x1b[?25l";
constexpr const char* kLeaveScreen = "\x1b[?25h\x1b[?1049l";

}  // namespace

bool CanShowPanel() {
  if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) return false;
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground != -1 && foreground == getpgrp();
}

void PrintPanelText(const PanelText& text) {
  std::string out = text.caption + "\n";
  for (const std::string& row : text.rows) out += row + "\n";
  // Nobody may be reading (a closed journal, say); the server serves all
  // the same, so a failed write is not an error.
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

StatusPanel::StatusPanel(const PanelText& text, const sigset_t& close_signals) {
  signal_fd_ = signalfd(-1, &close_signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) return;
  if (tcgetattr(STDIN_FILENO, &saved_terminal_) != 0) return;
  termios raw = saved_terminal_;
  // Keys one at a time and unechoed; ISIG stays, so Ctrl-C is a SIGINT and
  // closes the panel like the close box.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // A dialog cannot be suspended: Ctrl-Z would stop serving every client
  // and leave the panel dead until "fg".
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  terminal_taken_ = true;
  ok_ = WriteAll(std::string(kEnterScreen) + Drawing(text));
}

StatusPanel::~StatusPanel() {
  if (terminal_taken_) {
    WriteAll(kLeaveScreen);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_);
  }
  if (signal_fd_ >= 0) close(signal_fd_);
}

StatusPanel::Event StatusPanel::Wait(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const int ready = poll(fds, 2, static_cast<int>(timeout.count()));
  if (ready <= 0) return Event::kNothing;
  if ((fds[0].revents & POLLIN) != 0) {
    signalfd_siginfo info;
    if (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      return Event::kClose;
    }
  }
  if ((fds[1].revents & POLLIN) != 0) {
    char keys[64];
    const ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
    if (n > 0) return HasSpaceKey(keys, static_cast<size_t>(n)) ? Event::kButton : Event::kNothing;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) return Event::kTerminalGone;
    return Event::kNothing;
  }
  if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return Event::kTerminalGone;
  return Event::kNothing;
}

}  // namespace tmb::platform
