#include "host/options.h"

#include "config/settings.h"

namespace tmb {
namespace {

bool Has(const std::string& line, const char* a, const char* b) {
  return line.find(a) != std::string::npos || line.find(b) != std::string::npos;
}

}  // namespace

std::string FullCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

std::string CommandLineCopy(int argc, char** argv) {
  std::string line = FullCommandLine(argc, argv);
  if (line.size() > kCommandLineSize - 1) line.resize(kCommandLineSize - 1);
  return line;
}

Mode SelectMode(const std::string& line) {
  if (Has(line, "-i", "-I")) return Mode::kInstall;
  if (Has(line, "-u", "-U")) return Mode::kRemove;
  if (Has(line, "-SERVICE", "-service")) return Mode::kService;
  if (Has(line, "-startsvr", "-STARTSVR")) return Mode::kStart;
  if (Has(line, "-stopsvr", "-STOPSVR")) return Mode::kStop;
  if (Has(line, "-qsvr", "-QSVR")) return Mode::kQuery;
  return Mode::kInteractive;
}

std::optional<uint16_t> PortOption(const std::string& line) {
  for (const char* option : {"-P:", "-p:", "-PORT:", "-port:"}) {
    const size_t at = line.find(option);
    if (at == std::string::npos) continue;
    const size_t number = at + std::char_traits<char>::length(option);
    return static_cast<uint16_t>(ParseDecimal(line.c_str() + number));
  }
  return std::nullopt;
}

}  // namespace tmb
