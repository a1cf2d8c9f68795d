// The frame of tmbcli: common options, the sub-command table and the
// connection every sub-command starts from. A group of sub-commands lives in
// a unit of its own (cli_session.cc, ...) that exposes its table; tmbcli.cc
// lists the groups. Adding a command is one table line and one function.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/session_calls.h"
#include "wire/connection.h"

namespace tmb::cli {

// Exit codes of every sub-command.
constexpr int kExitOk = 0;        // done; the answer was yes
constexpr int kExitNo = 1;        // done; the answer was no (not found, refused)
constexpr int kExitUsage = 2;     // the command line is wrong
constexpr int kExitFailure = 3;   // no connection, or the server broke off

// What a sub-command runs with: the common options and its own arguments
// (the words after its name, common options taken out).
struct Context {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultPort;
  CompressionChoiceOption compression = CompressionChoiceOption::kRunLength;
  ClientTls tls;
  std::vector<std::string> args;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;

  std::ostream& Out() const { return *out; }
  std::ostream& Err() const { return *err; }
  std::string Address() const { return host + ":" + std::to_string(port); }
};

struct Command {
  const char* name;
  const char* arguments;  // for the usage line, e.g. "[NAME|default]"
  const char* summary;    // one line for the command list
  int (*run)(Context& ctx);
};

// The session group: ping, catalogs, whoami.
std::span<const Command> SessionCommands();
// The data group: tables, columns, describe, dump, get, put, delete, ls.
std::span<const Command> DataCommands();
// The benchmark group: bench.
std::span<const Command> BenchCommands();
// The SQL group: sql.
std::span<const Command> SqlCommands();

// Takes the common options (--host, --port, --compress, --ca; as "--opt
// value" or "--opt=value"; the flags --tls and --insecure; anywhere on the
// line) out of `words` into ctx; the rest stay in `words` in order. False
// with a message in *error for a bad value.
bool TakeCommonOptions(std::vector<std::string>* words, Context* ctx, std::string* error);

// Takes "--name value" or "--name=value" out of args. True when present;
// false with *error set when the value is missing.
bool TakeOption(std::vector<std::string>* args, const std::string& name, std::string* value,
                bool* present, std::string* error);

// Takes every "--name" out of args; true when there was one.
bool TakeFlag(std::vector<std::string>* args, const std::string& name);

// Takes "--NAME N" out of ctx.args as a number within [low, high]; *value
// keeps its default when the option is absent. False after printing why.
bool TakeNumber(Context& ctx, const std::string& name, int64_t low, int64_t high, int64_t* value);

// True when ctx.args holds exactly `want` words; else prints the usage.
bool ArgumentCount(Context& ctx, size_t want, const char* usage);

// Connects and opens the connection with the chosen compression. On failure
// it prints why and returns false.
bool Open(Context& ctx, Client& client);

// Prints "tmbcli: <what> (<error>)" for a broken exchange; kExitFailure.
int Broken(Context& ctx, const std::string& what, const std::string& error);

}  // namespace tmb::cli
