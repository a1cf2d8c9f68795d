#include "handlers/settings.h"

#include <cstdint>

#include "handlers/environment.h"
#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "config/settings.h"
#include "secure/log_text.h"
#include "secure/rights.h"
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

// Process-wide settings reach every connection; while the access entries
// are enforced, only an administrator changes them.
bool MayChangeProcessSettings(const Session& s) {
  return !AccessEnforced() || IsAdministrator(s.rights);
}

void GlobalMode(Session& s, int32_t mode) {
  int16_t value = GetInt16(s.buffer);
  intptr_t result = TMBIO_DENIED;
  if (MayChangeProcessSettings(s)) {
    // Every environment allocated later waits this long for a lock: one
    // client must not make the others hang on each other's locks for minutes.
    if (mode == TMBIO_GLOBAL_LOCK_WAIT) value = CappedLockWait(value, ReadMaxLockWaitMs());
    result = QDSetEnvMode(nullptr, mode, value);
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, static_cast<int16_t>(result));
}

void GlobalText(Session& s, int32_t mode) {
  char text[kSettingTextSize];
  GetText(s.buffer, text);
  if (!MayChangeProcessSettings(s)) {
    s.buffer.BeginReply();
    PutInt32(s.buffer, TMBIO_DENIED);
    return;
  }
  // The application name heads every trace line of the library; written
  // out, a client's line feed cannot start a line that looks like the
  // library's. It is shown and never used, so the escaped text loses nothing.
  const std::string escaped = mode == TMBIO_GLOBAL_APP_NAME ? EscapeControlBytes(text) : text;
  const intptr_t result = QDSetEnvMode(nullptr, mode, reinterpret_cast<intptr_t>(escaped.c_str()));
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
  const bool text_mode = TextSetMode(mode);
  if (text_mode) {
    GetText(s.buffer, text);
    value = reinterpret_cast<intptr_t>(text);
  } else {
    value = GetInt32(s.buffer);
  }
  TMBEnvironment* env = OwnEnvironment(s, id);
  int32_t result = kNotThisConnectionsEnvironment;
  if (env != nullptr) {
    const bool refused = (mode == TMBIO_ENV_DATA_DIR && !MayUseDataDirectory(s, env, text)) ||
                         (mode == TMBIO_ENV_CATALOG && !MaySelectCatalog(s, env, text));
    if (refused) {
      result = TMBIO_DENIED;
    } else {
      const intptr_t answer = QDSetEnvMode(env, mode, value);
      // A text mode answers with the previous text's address in this
      // process, which the client must never learn; the catalog mode
      // answers an index.
      result = text_mode && mode != TMBIO_ENV_CATALOG ? 0 : Low32(answer);
    }
  }
  s.buffer.BeginReply();
  PutInt32(s.buffer, result);
}

void SetGlobalMode1(Session& s) { GlobalMode(s, TMBIO_MODE_GLOBAL1); }
void SetGlobalMode2(Session& s) { GlobalMode(s, TMBIO_MODE_GLOBAL2); }
void SetGlobalText6(Session& s) { GlobalText(s, TMBIO_MODE_GLOBAL_TEXT6); }
void SetGlobalText7(Session& s) { GlobalText(s, TMBIO_MODE_GLOBAL_TEXT7); }

}  // namespace tmb
