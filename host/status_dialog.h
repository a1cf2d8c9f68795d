// The status dialog of the interactive server: tells that the server runs,
// whether with TLS, its version and the TLS library's, and offers Shutdown.
// On a terminal it is a panel whose button the space bar presses; without
// one its texts are printed once. Closing it ends the server.
#pragma once

#include <signal.h>

#include "platform/status_panel.h"

namespace tmb {

// The caption, the rows and the button of the dialog; the first row says
// "(Secure)" when the certificate setting turns TLS on.
platform::PanelText StatusDialogText(bool secure);

// Shows the dialog and runs its loop until Shutdown is pressed, one of
// `stop_signals` (blocked by the caller in every thread) arrives as the close
// box, the terminal goes away, or the server stops listening. False when the
// dialog could not be shown at all; the server is left running either way.
bool RunStatusDialog(bool secure, const sigset_t& stop_signals);

}  // namespace tmb
