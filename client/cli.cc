#include "client/cli.h"

#include <algorithm>
#include <charconv>

namespace tmb::cli {
namespace {

bool ParsePort(const std::string& text, uint16_t* port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseCompression(const std::string& text, CompressionChoiceOption* choice) {
  if (text == "none") {
    *choice = CompressionChoiceOption::kNone;
  } else if (text == "rle") {
    *choice = CompressionChoiceOption::kRunLength;
  } else if (text == "zlib") {
    *choice = CompressionChoiceOption::kZlib;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool TakeOption(std::vector<std::string>* args, const std::string& name, std::string* value,
                bool* present, std::string* error) {
  *present = false;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& word = (*args)[i];
    if (word == name) {
      if (i + 1 >= args->size()) {
        *error = name + " needs a value";
        return false;
      }
      *value = (*args)[i + 1];
      args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                  args->begin() + static_cast<std::ptrdiff_t>(i + 2));
      *present = true;
      return true;
    }
    if (word.rfind(name + "=", 0) == 0) {
      *value = word.substr(name.size() + 1);
      args->erase(args->begin() + static_cast<std::ptrdiff_t>(i));
      *present = true;
      return true;
    }
  }
  return true;
}

bool TakeFlag(std::vector<std::string>* args, const std::string& name) {
  const auto end = std::remove(args->begin(), args->end(), name);
  const bool present = end != args->end();
  args->erase(end, args->end());
  return present;
}

bool TakeNumber(Context& ctx, const std::string& name, int64_t low, int64_t high, int64_t* value) {
  std::string text, error;
  bool present = false;
  if (!TakeOption(&ctx.args, name, &text, &present, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    return false;
  }
  if (!present) return true;
  int64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < low || v > high) {
    ctx.Err() << "tmbcli: " << name << " takes a number from " << low << " to " << high
              << ", not \"" << text << "\"\n";
    return false;
  }
  *value = v;
  return true;
}
bool ArgumentCount(Context& ctx, size_t want, const char* usage) {
  if (ctx.args.size() == want) return true;
  ctx.Err() << "tmbcli: usage: tmbcli " << usage << "\n";
  return false;
}

bool TakeCommonOptions(std::vector<std::string>* words, Context* ctx, std::string* error) {
  std::string value;
  bool present = false;
  if (!TakeOption(words, "--host", &value, &present, error)) return false;
  if (present) {
    if (value.empty()) {
      *error = "--host needs a host name or address";
      return false;
    }
    ctx->host = value;
  }
  if (!TakeOption(words, "--port", &value, &present, error)) return false;
  if (present && !ParsePort(value, &ctx->port)) {
    *error = "--port takes a number from 1 to 65535, not \"" + value + "\"";
    return false;
  }
  if (!TakeOption(words, "--compress", &value, &present, error)) return false;
  if (present && !ParseCompression(value, &ctx->compression)) {
    *error = "--compress takes none, rle or zlib, not \"" + value + "\"";
    return false;
  }
  // A CA or a wish to skip its check only makes sense with TLS, so either
  // turns it on.
  if (TakeFlag(words, "--tls")) ctx->tls.enabled = true;
  if (TakeFlag(words, "--insecure")) {
    ctx->tls.enabled = true;
    ctx->tls.verify = false;
  }
  if (!TakeOption(words, "--ca", &value, &present, error)) return false;
  if (present) {
    if (value.empty()) {
      *error = "--ca needs the file of the CA certificates";
      return false;
    }
    ctx->tls.enabled = true;
    ctx->tls.ca_file = value;
  }
  return true;
}

bool Open(Context& ctx, Client& client) {
  std::string error;
  if (!client.Connect(ctx.host, ctx.port, ctx.tls, &error)) {
    ctx.Err() << "tmbcli: " << error << "\n";
    if (ctx.tls.enabled) {
      ctx.Err() << "tmbcli: is tmbsqlsvr running there with TLS? (--ca names the CA that signed "
                   "its certificate; --host must be a name or address the certificate carries)\n";
    } else {
      ctx.Err() << "tmbcli: is tmbsqlsvr running there? (--host and --port choose the server)\n";
    }
    return false;
  }
  bool zlib = false;
  if (!OpenWithCompression(client, ctx.compression, &zlib, &error)) {
    ctx.Err() << "tmbcli: " << ctx.Address() << " accepted the connection but did not answer ("
              << error << "); is it a tmbsqlsvr server?"
              << (ctx.tls.enabled ? "" : " (one with TLS needs --tls or --ca)") << "\n";
    return false;
  }
  if (ctx.compression == CompressionChoiceOption::kZlib && !zlib) {
    ctx.Err() << "tmbcli: the server does not offer zlib; using run-length coding\n";
  }
  return true;
}

int Broken(Context& ctx, const std::string& what, const std::string& error) {
  ctx.Err() << "tmbcli: " << what << " failed: " << error << "\n";
  return kExitFailure;
}

}  // namespace tmb::cli
