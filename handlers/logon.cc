#include "handlers/logon.h"

#include <cstdint>
#include <span>

#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "server/session.h"
#include "wire/primitives.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr size_t kMessageSize = 256;
// The level the library is told the client speaks; not sent back.
constexpr int32_t kLogonValue = 2;
// Result word that says the environment's logon text is set.
constexpr int32_t kLogonTextResult = 2;

// Optional texts of the logon and logoff requests: an i32 flag, and the text
// only when the flag is above 0. The first field holds 64 bytes and keeps a
// further zero byte behind them.
struct LogonTexts {
  char user[65];
  char password[128];
  char workstation[64];
  char language[16];
  char application[128];
  bool present[5] = {};

  const char* Get(int i) const {
    const char* texts[] = {user, password, workstation, language, application};
    return present[i] ? texts[i] : nullptr;
  }

  void Read(MessageBuffer& b, size_t count) {
    const TextField fields[] = {{user, sizeof user, 64}, WholeField(password),
                                WholeField(workstation), WholeField(language),
                                WholeField(application)};
    GetOptionalTexts(b, std::span(fields, count), TextFlag::kInt32AboveZero, present);
  }
};

void PutMessage(MessageBuffer& b, const char* message) { PutFieldText(b, message, kMessageSize); }

}  // namespace

void Logon(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  LogonTexts texts;
  texts.Read(s.buffer, 5);
  TMBEnvironment* env = OwnEnvironment(s, id);

  int32_t value = kLogonValue;
  const uint8_t* blob = nullptr;
  int32_t blob_length = 0;
  int32_t result = 0;
  char message[kMessageSize] = {};
  const int32_t status = QDLogon(env, texts.Get(0), texts.Get(1), texts.Get(2), texts.Get(3), &value,
                                 texts.Get(4), &blob, &blob_length, &result, message);

  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
  if (blob != nullptr && blob_length > 0) {
    PutInt32(s.buffer, blob_length);
    PutBlock(s.buffer, blob, static_cast<uint32_t>(blob_length));
  } else {
    PutInt32(s.buffer, 0);
  }
  PutInt32(s.buffer, result);
  if (result == kLogonTextResult) {
    if (env != nullptr) {
      PutFieldText(s.buffer, env->logon_text, sizeof env->logon_text);
    } else {
      PutText(s.buffer, "");
    }
  }
  PutMessage(s.buffer, message);
}

void Logoff(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  LogonTexts texts;
  texts.Read(s.buffer, 4);
  int32_t value = GetInt32(s.buffer);
  TMBEnvironment* env = OwnEnvironment(s, id);

  int32_t out = 0;
  char message[kMessageSize] = {};
  const int32_t status =
      QDLogoff(env, texts.Get(0), texts.Get(1), texts.Get(2), texts.Get(3), &value, &out, message);

  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
  PutInt32(s.buffer, out);
  PutMessage(s.buffer, message);
}

}  // namespace tmb
