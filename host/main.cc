// Process entry of the server: picks the mode from the command line, chooses
// the port, starts the server and serves until told to stop.
#include <csignal>
#include <cstdio>
#include <ctime>

#include "config/settings.h"
#include "handlers/opcode_table.h"
#include "host/events.h"
#include "host/options.h"
#include "host/status_dialog.h"
#include "host/service_main.h"
#include "host/service_modes.h"
#include "host/status_page.h"
#include "platform/message_box.h"
#include "server/server.h"

namespace {

int RunInteractive(const std::string& command_line) {
  tmb::ServerSettings& settings = tmb::Settings();
  if (auto port = tmb::PortOption(command_line)) settings.port = *port;
  // Still 0 when the registry has no port either: the server then listens
  // on its default.
  if (settings.port == 0) settings.port = tmb::ReadListeningPort();
  // Only the interactive server reads the certificate; a service runs plain.
  tmb::ReadCertificateSetting(&settings.certificate);

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int result = tmb::StartServer({tmb::Dispatch, tmb::OpensConnection, tmb::AnswerStatusPage});
  if (result != 0) {
    tmb::platform::MessageBox("Unable to start Tamblo SQL Server", "Tamblo SQL Server Error",
                              tmb::platform::kMbIconExclamation);
    return result;
  }
  std::fprintf(stderr, "tmbsqlsvr: listening on port %u\n", static_cast<unsigned>(settings.port));
  // The signals stay blocked in every thread and are taken synchronously by
  // the dialog's loop, so no handler runs in the middle of a session's work.
  const bool shown = tmb::RunStatusDialog(!settings.certificate.empty(), stop_signals);
  tmb::StopServer();
  if (!shown) {
    tmb::platform::MessageBox("Unable to start Tamblo SQL Server", "Tamblo SQL Server Error",
                              tmb::platform::kMbIconExclamation);
    return -1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command_line = tmb::CommandLineCopy(argc, argv);
  tmb::InstallMessageTable();
  switch (tmb::SelectMode(tmb::FullCommandLine(argc, argv))) {
    case tmb::Mode::kInstall:
      return tmb::InstallService();
    case tmb::Mode::kRemove:
      return tmb::RemoveService();
    case tmb::Mode::kService:
      return tmb::RunService(command_line);
    case tmb::Mode::kStart:
      return tmb::StartServiceMode();
    case tmb::Mode::kStop:
      return tmb::StopServiceMode();
    case tmb::Mode::kQuery:
      return tmb::QueryServiceMode();
    case tmb::Mode::kInteractive:
      break;
  }
  return RunInteractive(command_line);
}
