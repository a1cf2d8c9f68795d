#include "client/session_calls.h"

#include <cstring>
#include <limits>

#include "wire/errors.h"
#include "wire/opcodes.h"

namespace tmb {
namespace {

constexpr uint32_t kNever = std::numeric_limits<uint32_t>::max();
constexpr uint32_t kZlibAbove = 256;

void PutRequestText(MessageBuffer& b, const std::string& text) {
  PutBlock(b, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

}  // namespace

std::string GetReplyText(MessageBuffer& reply) {
  const int32_t n = GetInt32(reply);
  if (n < 0 || static_cast<uint64_t>(n) > Remaining(reply)) {
    throw MalformedReply("text longer than the reply");
  }
  const char* p = reinterpret_cast<const char*>(reply.data() + reply.cursor());
  reply.set_cursor(reply.cursor() + static_cast<uint64_t>(n));
  return std::string(p, strnlen(p, static_cast<size_t>(n)));
}

bool OpenWithCompression(Client& c, CompressionChoiceOption choice, bool* granted_zlib,
                         std::string* error) {
  int granted = -1;
  switch (choice) {
    case CompressionChoiceOption::kNone:
      granted = c.NegotiateCompression(0, kNever, kNever, error);
      break;
    case CompressionChoiceOption::kRunLength:
      granted = c.NegotiateCompression(0, 0, kNever, error);
      break;
    case CompressionChoiceOption::kZlib:
      granted = c.NegotiateCompression(100, 0, kZlibAbove, error);
      break;
  }
  if (granted < 0) return false;
  *granted_zlib = granted == 100;
  return true;
}

bool CallHello(Client& c, int16_t* code, std::string* error) {
  c.BeginRequest(opcode::kHello);
  return c.Exchange(error, [&](MessageBuffer& r) { *code = GetInt16(r); });
}

bool CallIdentifyClient(Client& c, const IdentifyRequest& request, int16_t* code,
                        std::string* error) {
  c.BeginRequest(opcode::kIdentifyClient);
  for (const std::string* text : {&request.identity1, &request.identity2, &request.unused,
                                  &request.resource1, &request.resource2, &request.client_name}) {
    PutInt16(c.request(), text->empty() ? 0 : 1);
    if (!text->empty()) PutRequestText(c.request(), *text);
  }
  return c.Exchange(error, [&](MessageBuffer& r) { *code = GetInt16(r); });
}

bool CallAllocEnv(Client& c, int32_t* env, std::string* error) {
  c.BeginRequest(opcode::kAllocEnv);
  return c.Exchange(error, [&](MessageBuffer& r) { *env = GetInt32(r); });
}

bool CallDeAllocEnv(Client& c, int32_t env, std::string* error) {
  c.BeginRequest(opcode::kDeAllocEnv);
  PutInt32(c.request(), env);
  return c.Exchange(error, [&](MessageBuffer& r) { GetInt32(r); });
}

bool CallLogon(Client& c, int32_t env, const std::string& user, const std::string& password,
               int32_t* status, std::string* error) {
  c.BeginRequest(opcode::kLogon);
  PutInt32(c.request(), env);
  // User and password, then no workstation, language or application.
  for (const std::string* text : {&user, &password}) {
    PutInt32(c.request(), 1);
    PutBlock(c.request(), text->c_str(), static_cast<uint32_t>(text->size() + 1));
  }
  for (int i = 0; i < 3; ++i) PutInt32(c.request(), 0);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallSetEnvNumber(Client& c, int32_t env, int32_t mode, int32_t value, int32_t* result,
                      std::string* error) {
  c.BeginRequest(opcode::kSetEnvMode);
  PutInt32(c.request(), env);
  PutInt32(c.request(), mode);
  PutInt32(c.request(), value);
  return c.Exchange(error, [&](MessageBuffer& r) { *result = GetInt32(r); });
}

bool CallSetEnvText(Client& c, int32_t env, int32_t mode, const std::string& text,
                    int32_t* result, std::string* error) {
  c.BeginRequest(opcode::kSetEnvMode);
  PutInt32(c.request(), env);
  PutInt32(c.request(), mode);
  PutBlock(c.request(), text.c_str(), static_cast<uint32_t>(text.size() + 1));
  return c.Exchange(error, [&](MessageBuffer& r) { *result = GetInt32(r); });
}

bool CallGetCatalog(Client& c, int32_t env, const std::string& name, CatalogInfo* info,
                    std::string* error) {
  c.BeginRequest(opcode::kGetCatalog);
  PutInt32(c.request(), env);
  PutRequestText(c.request(), name);
  return c.Exchange(error, [&](MessageBuffer& r) {
    info->found = GetInt32(r) == 1;
    info->text1 = GetReplyText(r);
    info->text2 = GetReplyText(r);
    info->text3 = GetReplyText(r);
    info->view_library = GetReplyText(r);
  });
}

}  // namespace tmb
