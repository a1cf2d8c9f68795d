// Run as the service: the service main function, which picks the port and
// starts the server, and the control handler, which keeps the service's
// status and stops the server in order when told to stop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tmb {

// The "-SERVICE" mode: hands this thread to the service dispatcher until the
// service has reported itself stopped. Exit code 1 in every case.
int RunService(const std::string& command_line);

// The port a service start asks for: from the first start parameter when
// there is one (the number after its first colon; none without a colon),
// else from the port options of `command_line`.
std::optional<uint16_t> ServicePortOption(uint32_t argc, char** argv, const std::string& command_line);

}  // namespace tmb
