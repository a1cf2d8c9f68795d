// tmbcli: a command-line client of tmbsqlsvr for the person who sets a
// server up. tmbcli [--host H] [--port P] [--compress none|rle|zlib]
// [--tls] [--ca FILE] [--insecure] COMMAND.
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "client/cli.h"

namespace {

using tmb::cli::Command;

struct Group {
  const char* title;
  std::span<const Command> (*commands)();
};

// Every group of sub-commands; a new group is one line here.
const Group kGroups[] = {
    {"Session", tmb::cli::SessionCommands},
    {"Data", tmb::cli::DataCommands},
    {"Benchmark", tmb::cli::BenchCommands},
    {"SQL", tmb::cli::SqlCommands},
};

void Usage(std::ostream& out) {
  out << "usage: tmbcli [--host HOST] [--port PORT] [--compress none|rle|zlib]\n"
         "              [--tls] [--ca FILE] [--insecure] COMMAND [ARGS]\n"
         "\n"
         "  --host      server name or address (default 127.0.0.1); with TLS, the\n"
         "              server's certificate must carry it\n";
  out << "  --port      server port (default " << tmb::kDefaultPort << ")\n";
  out << "  --compress  coding of the messages (default rle)\n";
  out << "  --tls       connect with TLS, trusting the system's CA certificates\n"
         "  --ca        PEM file of the CA certificates to trust instead (implies --tls)\n"
         "  --insecure  TLS without checking the server's certificate (implies --tls):\n"
         "              encrypted, but the server is not proven to be the one named\n";
  for (const Group& group : kGroups) {
    out << "\n" << group.title << " commands:\n";
    for (const Command& c : group.commands()) {
      out << "  " << c.name;
      if (c.arguments[0] != '\0') out << " " << c.arguments;
      out << "\n      " << c.summary << "\n";
    }
  }
  out << "\nExit status: 0 yes, 1 no (not found, refused), 2 wrong usage, 3 no connection.\n";
}

const Command* Find(const std::string& name) {
  for (const Group& group : kGroups) {
    for (const Command& c : group.commands()) {
      if (name == c.name) return &c;
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  for (const std::string& w : words) {
    if (w == "-h" || w == "--help" || w == "help") {
      Usage(std::cout);
      return tmb::cli::kExitOk;
    }
  }
  tmb::cli::Context ctx;
  ctx.out = &std::cout;
  ctx.err = &std::cerr;
  std::string error;
  if (!tmb::cli::TakeCommonOptions(&words, &ctx, &error)) {
    std::cerr << "tmbcli: " << error << "\n";
    return tmb::cli::kExitUsage;
  }
  if (words.empty()) {
    Usage(std::cerr);
    return tmb::cli::kExitUsage;
  }
  const Command* command = Find(words[0]);
  if (command == nullptr) {
    std::cerr << "tmbcli: unknown command \"" << words[0] << "\" (tmbcli --help lists them)\n";
    return tmb::cli::kExitUsage;
  }
  ctx.args.assign(words.begin() + 1, words.end());
  return command->run(ctx);
}
