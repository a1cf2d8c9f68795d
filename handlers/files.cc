#include "handlers/files.h"

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "config/data_roots.h"
#include "config/settings.h"
#include "handlers/environment.h"
#include "handlers/key_flags.h"
#include "handlers/read_buffer.h"
#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "wire/errors.h"
#include "server/session.h"
#include "platform/ascii_case.h"
#include "wire/primitives.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr uint32_t kFileNameSize = 256;
// Options text: the client announces 1 to 63 bytes; the buffer leaves room
// for a terminator past the longest.
constexpr uint32_t kOptionsSize = 72;
constexpr int32_t kMaxOptionsLength = 63;
constexpr size_t kLocalBufferSize = 4096;

int32_t Negated(int32_t v) { return static_cast<int32_t>(0u - static_cast<uint32_t>(v)); }

// The path the library opens for `name` (not empty) in `env`: a relative
// name is taken from the environment's data directory, which the client may
// have set to anything, and ".tmb" is added unless the name ends so
// (docs/data-library.md). Empty when the data directory cannot be read.
std::string LibraryPath(TMBEnvironment* env, const char* name) {
  std::string path = name;
  if (path[0] != '/') {
    // The text's address, or a status (negative) when the library failed.
    const intptr_t dir = QDGetEnvMode(env, TMBIO_ENV_DATA_DIR);
    if (dir <= 0) return {};
    path = std::string(reinterpret_cast<const char*>(dir)) + "/" + path;
  }
  const std::string_view tail = path.size() >= 4 ? std::string_view(path).substr(path.size() - 4)
                                                 : std::string_view();
  if (!platform::EqualsIgnoringCase(tail, ".tmb")) path += ".tmb";
  return path;
}

// Whether the file the library would open lies in a catalog's data
// directory or a "HostFileRoots" one, once links and ".." are resolved.
bool MayOpen(TMBEnvironment* env, const char* name) {
  const std::string path = LibraryPath(env, name);
  return !path.empty() && !EnvironmentDataRoots(*env).Confine(path).empty();
}

}  // namespace

void OpenFile(Session& s) {
  MessageBuffer& b = s.buffer;
  const int32_t env_id = GetInt32(b);
  char name[kFileNameSize];
  GetTerminatedText(b, name, sizeof name);
  const int32_t options_length = GetInt32(b);
  // Zeroed so that an options block shorter than the length announced for
  // it hands the library zeros, not stack contents.
  char options[kOptionsSize] = {};
  const char* options_passed = nullptr;
  int32_t length_passed = 0;
  if (options_length >= 1 && options_length <= kMaxOptionsLength) {
    GetBlock(b, options, sizeof options);
    options_passed = options;
    length_passed = options_length;
  }
  const int16_t mode = GetInt16(b);
  GetInt32(b);  // reserved by the client, unused

  int32_t error = -TMBIO_DENIED;  // a refused open's; the library sets its own
  TMBEnvironment* env = OwnEnvironment(s, env_id);
  OpenAccess access = DecideOpen(s, env, name, mode);
  TMBFile* file = nullptr;
  // No environment or no name: the library's own refusal, which reaches no
  // file. A file outside the roots is answered as one that does not exist,
  // whatever the access entries say of it.
  if (env != nullptr && name[0] != '\0' && !MayOpen(env, name)) {
    error = -TMBIO_NO_FILE;
  } else if (env != nullptr &&
             GetNumOwnedFiles(static_cast<uint64_t>(s.conn.fd)) >= ReadFilesPerConnection()) {
    // Counted by the library, so files closed with their environment are
    // already out of the count.
    error = -TMBIO_LIMIT;
  } else if (access.allowed) {
    file = QDK_OpenExt(env, name, options_passed, length_passed, mode, &error);
  }
  b.BeginReply();
  if (file == nullptr) {
    PutInt32(b, -1);
    PutInt32(b, error);
    return;
  }
  NoteOpened(s, *file, std::move(access));
  PutInt32(b, file->id);
  const int32_t slot_key_room = Low32(QDGetEnvMode(file, TMBIO_FILE_SLOT_KEY_ROOM));
  PutInt32(b, KeyFlagged(*file, 1) ? Negated(slot_key_room) : slot_key_room);
  PutInt32(b, Low32(QDGetEnvMode(file, TMBIO_FILE_RECORD_BASE)));
  PutInt32(b, Low32(QDGetEnvMode(file, TMBIO_FILE_RECORD_EXTRA)));
  PutInt32(b, Low32(QDGetEnvMode(file, TMBIO_FILE_BLOCK_RECORDS)));
  PutInt32(b, Low32(QDGetEnvMode(file, TMBIO_FILE_OPEN_INFO1)));
  PutInt32(b, Low32(QDGetEnvMode(file, TMBIO_FILE_OPEN_INFO2)));
}

void CloseFile(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  // The buffer goes first: once the library has closed the file, its cell
  // is gone with it.
  if (file != nullptr) ReleaseReadBuffer(file);
  const int32_t status = QDK_close(file);
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

void ReadDictionary(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int16_t index = GetInt16(b);
  const int16_t size = GetInt16(b);
  if (size < 0) throw MalformedRequest("negative dictionary size");

  // Zeroed: the reply carries all `size` bytes whatever the library wrote,
  // and none of them may be left over from elsewhere.
  auto buffer = Scratch<kLocalBufferSize>(size);
  const int32_t status = QDK_dict(file, index, buffer.data(), size);
  b.BeginReply();
  PutInt32(b, status);
  if (status >= 0) PutBlock(b, buffer.data(), static_cast<uint32_t>(size));
}

void AddDictionary(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int16_t index = GetInt16(b);
  int16_t length = GetInt16(b);
  if (length < 0) throw MalformedRequest("negative dictionary length");

  auto buffer = Scratch<kLocalBufferSize>(length);
  if (length > 0) {
    length = static_cast<int16_t>(
        GetBlock(b, buffer.data(), static_cast<uint32_t>(buffer.capacity())));
  }
  const int32_t status =
      MayWriteFile(s, file) ? QDK_dict_add(file, index, buffer.data(), length) : TMBIO_DENIED;
  b.BeginReply();
  PutInt32(b, status);
}

void GetFileError(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const int32_t error = QDK_geterrno(file);
  s.buffer.BeginReply();
  PutInt32(s.buffer, error);
}

void SetFileCell(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const int32_t value = GetInt32(s.buffer);
  // A null handle would change the process-wide settings instead.
  if (file != nullptr) QDSetEnvMode(file, TMBIO_FILE_CELL, value);
  s.buffer.BeginReply();
}

}  // namespace tmb
