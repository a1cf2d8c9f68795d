#include "host/status_dialog.h"

#include <ctime>

#include "server/server.h"

namespace tmb {
namespace {

// The terminal and the journal read UTF-8, so the mark is written as such
// here, unlike on the status page, which a browser reads as Windows-1252.
constexpr const char* kProductName = "Tamblo\xC2\xAE SQL Server";
constexpr const char* kServerVersion = TMB_SERVER_VERSION;  // from the CMake project
// Fixed like the dialog's other texts, not asked of the loaded library.
constexpr const char* kTlsLibraryVersion = "OpenSSL 3.5.0 8 Apr 2025";

// How often the loop looks whether the server still listens.
constexpr std::chrono::milliseconds kListenerPoll{200};

// Without a terminal nothing but a signal can close the dialog.
void WaitWithoutTerminal(const sigset_t& stop_signals) {
  const timespec poll{0, static_cast<long>(kListenerPoll.count()) * 1000 * 1000};
  while (ServerListening()) {
    if (sigtimedwait(&stop_signals, nullptr, &poll) > 0) return;
  }
}

}  // namespace

platform::PanelText StatusDialogText(bool secure) {
  platform::PanelText text;
  text.caption = kProductName;
  text.rows = {secure ? "The Server is Running (Secure)" : "The Server is Running",
               std::string(kProductName) + " " + kServerVersion, kTlsLibraryVersion};
  text.button = "Shutdown";
  return text;
}

bool RunStatusDialog(bool secure, const sigset_t& stop_signals) {
  const platform::PanelText text = StatusDialogText(secure);
  if (!platform::CanShowPanel()) {
    platform::PrintPanelText(text);
    WaitWithoutTerminal(stop_signals);
    return true;
  }
  platform::StatusPanel panel(text, stop_signals);
  if (!panel.ok()) return false;
  // Escape and Enter are ordinary keys here: the dialog has no keyboard
  // handling of its own, so only the button and the close box end it.
  while (ServerListening()) {
    switch (panel.Wait(kListenerPoll)) {
      case platform::StatusPanel::Event::kButton:
      case platform::StatusPanel::Event::kClose:
        return true;
      case platform::StatusPanel::Event::kTerminalGone:
        // A window whose screen is gone cannot be closed any more; waiting
        // on would leave a server that nobody can stop from its terminal.
        return true;
      case platform::StatusPanel::Event::kNothing:
        break;
    }
  }
  return true;
}

}  // namespace tmb
