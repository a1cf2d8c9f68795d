// tmbcli's session commands: is the server there, which catalog does a name
// give, and what does an identity get.
#include <chrono>
#include <cstdio>

#include "client/cli.h"

namespace tmb::cli {
namespace {

constexpr int16_t kNoFreeSlot = -2;
constexpr int16_t kNoAccessEntry = -3;

const char* CompressionName(CompressionChoiceOption c) {
  switch (c) {
    case CompressionChoiceOption::kNone: return "none";
    case CompressionChoiceOption::kRunLength: return "rle";
    case CompressionChoiceOption::kZlib: return "zlib";
  }
  return "?";
}

bool NoExtraArguments(Context& ctx, size_t allowed) {
  if (ctx.args.size() <= allowed) return true;
  ctx.Err() << "tmbcli: unexpected argument \"" << ctx.args[allowed] << "\"\n";
  return false;
}

int Ping(Context& ctx) {
  if (!NoExtraArguments(ctx, 0)) return kExitUsage;
  Client client;
  if (!Open(ctx, client)) return kExitFailure;
  const auto start = std::chrono::steady_clock::now();
  int16_t code = 0;
  std::string error;
  if (!CallHello(client, &code, &error)) return Broken(ctx, "hello", error);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  char took[32];
  std::snprintf(took, sizeof took, "%.2f", ms);
  ctx.Out() << "tmbsqlsvr at " << ctx.Address() << " answered in " << took
            << " ms (compression " << CompressionName(ctx.compression)
            << (!client.secure() ? "" : ctx.tls.verify ? ", TLS" : ", TLS unverified") << ")\n";
  return kExitOk;
}

int Catalogs(Context& ctx) {
  if (!NoExtraArguments(ctx, 1)) return kExitUsage;
  const std::string name = ctx.args.empty() ? "default" : ctx.args[0];
  if (name.empty() || name.size() > 255) {
    ctx.Err() << "tmbcli: a catalog name has 1 to 255 characters\n";
    return kExitUsage;
  }
  Client client;
  if (!Open(ctx, client)) return kExitFailure;
  std::string error;
  int32_t env = 0;
  if (!CallAllocEnv(client, &env, &error)) return Broken(ctx, "allocating an environment", error);
  if (env == 0) {
    ctx.Err() << "tmbcli: the server could not create an environment\n";
    return kExitFailure;
  }
  CatalogInfo info;
  if (!CallGetCatalog(client, env, name, &info, &error)) return Broken(ctx, "catalog lookup", error);
  CallDeAllocEnv(client, env, &error);
  if (!info.found) {
    if (name == "default" || name == "DEFAULT") {
      ctx.Err() << "tmbcli: no catalog on " << ctx.Address()
                << " is marked default (its registry data begins with \"*\")\n";
    } else {
      ctx.Err() << "tmbcli: no catalog named \"" << name << "\" on " << ctx.Address()
                << " (names are compared ignoring case)\n";
    }
    return kExitNo;
  }
  ctx.Out() << "catalog " << name << " on " << ctx.Address() << "\n"
            << "  data directory: " << info.text1 << "\n"
            << "  text2:          " << info.text2 << "\n"
            << "  text3:          " << info.text3 << "\n"
            << "  view library:   " << info.view_library << "\n";
  return kExitOk;
}

std::string Rights(int16_t code, int16_t allowed, int16_t write) {
  if ((code & allowed) == 0) return "no access";
  return (code & write) != 0 ? "read and write" : "read only";
}

int WhoAmI(Context& ctx) {
  std::string error;
  IdentifyRequest request;
  request.client_name = "tmbcli";
  std::string identity;
  bool present = false;
  if (!TakeOption(&ctx.args, "--identity", &identity, &present, &error) ||
      !TakeOption(&ctx.args, "--resource", &request.resource1, &present, &error) ||
      !TakeOption(&ctx.args, "--resource2", &request.resource2, &present, &error) ||
      !TakeOption(&ctx.args, "--client", &request.client_name, &present, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    return kExitUsage;
  }
  if (!NoExtraArguments(ctx, 0)) return kExitUsage;
  const size_t slash = identity.find('/');
  request.identity1 = identity.substr(0, slash);
  if (slash != std::string::npos) request.identity2 = identity.substr(slash + 1);
  if (request.identity1.size() > 63 || request.identity2.size() > 127 ||
      request.resource1.size() > 127 || request.resource2.size() > 127 ||
      request.client_name.size() > 127) {
    ctx.Err() << "tmbcli: names are limited to 63 characters (first identity name) and 127 "
                 "(the others)\n";
    return kExitUsage;
  }

  Client client;
  if (!Open(ctx, client)) return kExitFailure;
  int16_t code = 0;
  if (!CallIdentifyClient(client, request, &code, &error)) return Broken(ctx, "identify", error);

  const std::string first = request.identity1.empty() ? "*" : request.identity1;
  const std::string second = request.identity2.empty() ? "*" : request.identity2;
  if (code == kNoFreeSlot) {
    ctx.Out() << "refused: the server has no free client slot for the client name \""
              << request.client_name << "\" (every slot of ClientSlots is taken by other names)\n";
    return kExitNo;
  }
  ctx.Out() << "client \"" << request.client_name << "\" admitted as " << first << "/" << second
            << "\n";
  if (code == kNoAccessEntry) {
    ctx.Out() << "no access entry applies: the Security key is missing or has none of "
              << first << "/" << second << ", " << first << "/*, */" << second << ", */*\n";
    return kExitNo;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%03X", static_cast<unsigned>(static_cast<uint16_t>(code)));
  ctx.Out() << "access " << hex << "\n";
  const std::string* resources[] = {&request.resource1, &request.resource2};
  const int16_t allowed[] = {0x001, 0x100};
  const int16_t write[] = {0x002, 0x200};
  for (int i = 0; i < 2; ++i) {
    const std::string label = i == 0 ? "  first resource " : "  second resource ";
    if (resources[i]->empty()) {
      ctx.Out() << label << "(none given): no access\n";
    } else {
      ctx.Out() << label << *resources[i] << ": " << Rights(code, allowed[i], write[i]) << "\n";
    }
  }
  return code > 0 ? kExitOk : kExitNo;
}

const Command kCommands[] = {
    {"ping", "", "checks that the server answers, and how fast", Ping},
    {"catalogs", "[NAME|default]",
     "shows the catalog of that name, or the one marked default (the default)", Catalogs},
    {"whoami",
     "[--identity FIRST[/SECOND]] [--resource NAME] [--resource2 NAME] [--client NAME]",
     "identifies as a client and tells what the access entries allow", WhoAmI},
};

}  // namespace

std::span<const Command> SessionCommands() { return kCommands; }

}  // namespace tmb::cli
