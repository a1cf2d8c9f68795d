// The command line: a 256-byte copy of it, and the options found in it by
// plain, case-sensitive substring search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tmb {

constexpr size_t kCommandLineSize = 256;

enum class Mode { kInstall, kRemove, kService, kStart, kStop, kQuery, kInteractive };

// The arguments after the program name joined by blanks, as the system would
// pass a command line. The copy keeps at most 255 characters: options past
// the cut are not seen.
std::string CommandLineCopy(int argc, char** argv);

// The arguments after the program name joined by blanks, whole: the mode
// options are looked for in all of it.
std::string FullCommandLine(int argc, char** argv);

// The first mode whose option is present, in the order install, remove,
// service, start, stop, query; interactive when none is.
Mode SelectMode(const std::string& command_line);

// The port of the first of "-P:", "-p:", "-PORT:", "-port:" present, read as
// a decimal number and cut to 16 bits; none when no port option is given.
std::optional<uint16_t> PortOption(const std::string& command_line);

}  // namespace tmb
