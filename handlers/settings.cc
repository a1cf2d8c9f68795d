#include "handlers/settings.h"

#include <cstdint>

#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "server/session.h"
#include "wire/primitives.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr size_t kSettingTextSize = 1024;

// Modes GetEnvMode will not read: -1 and -7 give addresses, and most others
// are texts, whose address would mean nothing to the client. Mode 9, a
// number, is refused with them; mode 21, set as a text, reads as a number.
bool RefusedGetMode(int32_t mode) {
  switch (mode) {
    case TMBIO_ENV_LOGON_TEXT:
    case TMBIO_ENV_RECORD:
    case TMBIO_ENV_APP_NAME:
    case TMBIO_ENV_USER_NAME:
    case TMBIO_ENV_DATA_DIR:
    case TMBIO_ENV_READ_ONLY:
    case TMBIO_ENV_WORK_DIR:
    case TMBIO_ENV_WORKSTATION:
    case TMBIO_ENV_LANGUAGE:
    case TMBIO_ENV_DATE_FORMAT:
    case TMBIO_ENV_NUMBER_FORMAT:
    case TMBIO_ENV_COMMENT:
      return true;
    default:
      return false;
  }
}

// Modes whose value SetEnvMode reads as a text.
bool TextSetMode(int32_t mode) {
  switch (mode) {
    case TMBIO_ENV_APP_NAME:
    case TMBIO_ENV_USER_NAME:
    case TMBIO_ENV_DATA_DIR:
    case TMBIO_ENV_WORK_DIR:
    case TMBIO_ENV_WORKSTATION:
    case TMBIO_ENV_LANGUAGE:
    case TMBIO_ENV_DATE_FORMAT:
    case TMBIO_ENV_NUMBER_FORMAT:
    case TMBIO_ENV_CATALOG:
    case TMBIO_ENV_COMMENT:
      return true;
    default:
      return false;
  }
}

void GlobalMode(Session& s, int32_t mode) {
  const int16_t value = GetInt16(s.buffer);
  const intptr_t result = QDSetEnvMode(nullptr, mode, value);
  s.buffer.BeginReply();
  PutInt32(s.buffer, static_cast<int16_t>(result));
}

void GlobalText(Session& s, int32_t mode) {
  char text[kSettingTextSize];
  GetText(s.buffer, text);
  const intptr_t result = QDSetEnvMode(nullptr, mode, reinterpret_cast<intptr_t>(text));
  s.buffer.BeginReply();
  PutInt32(s.buffer, 0);
  // 0 is "no text"; a mode the library does not know answers -1, no address.
  if (result != 0 && result != TMBIO_UNKNOWN_MODE) {
    PutText(s.buffer, reinterpret_cast<const char*>(result));
  }
}

}  // namespace

void GetEnvMode(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  const int32_t mode = GetInt32(s.buffer);
  int32_t value = -1;
  if (!RefusedGetMode(mode)) {
    // A null handle would read the process-wide settings instead.
    TMBEnvironment* env = OwnEnvironment(s, id);
    value = env != nullptr ? Low32(QDGetEnvMode(env, mode)) : kNotThisConnectionsEnvironment;
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, value);
}

void SetEnvMode(Session& s) {
  const int32_t id = GetInt32(s.buffer);
  const int32_t mode = GetInt32(s.buffer);
  char text[kSettingTextSize];
  intptr_t value;
  if (TextSetMode(mode)) {
    GetText(s.buffer, text);
    value = reinterpret_cast<intptr_t>(text);
  } else {
    value = GetInt32(s.buffer);
  }
  TMBEnvironment* env = OwnEnvironment(s, id);
  const int32_t result =
      env != nullptr ? Low32(QDSetEnvMode(env, mode, value)) : kNotThisConnectionsEnvironment;
  s.buffer.BeginReply();
  PutInt32(s.buffer, result);
}

void SetGlobalMode1(Session& s) { GlobalMode(s, TMBIO_MODE_GLOBAL1); }
void SetGlobalMode2(Session& s) { GlobalMode(s, TMBIO_MODE_GLOBAL2); }
void SetGlobalText6(Session& s) { GlobalText(s, TMBIO_MODE_GLOBAL_TEXT6); }
void SetGlobalText7(Session& s) { GlobalText(s, TMBIO_MODE_GLOBAL_TEXT7); }

}  // namespace tmb
