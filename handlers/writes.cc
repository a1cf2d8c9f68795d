#include "handlers/writes.h"

#include "handlers/environment.h"
#include "handlers/request_fields.h"
#include "wire/errors.h"
#include "server/session.h"
#include "wire/primitives.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr size_t kLocalRecordSize = 4096;
constexpr uint32_t kKeySize = 256;
// The restriction text and its NUL share this buffer.
constexpr uint32_t kRestrictionTextSize = 4096;

}  // namespace

void ExtWrite(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t announced = GetInt32(b);
  // A negative length has no buffer that could hold a record.
  if (announced < 0) throw MalformedRequest("negative record length");

  // A record that fits the local array may take all of it; a longer one
  // gets one byte of room past its announced length.
  const int64_t room = announced > int64_t{kLocalRecordSize} ? int64_t{announced} + 1 : announced;
  auto scratch = Scratch<kLocalRecordSize>(room);
  uint8_t* record = scratch.data();
  const int32_t record_length = static_cast<int32_t>(
      GetBlock(b, record, static_cast<uint32_t>(scratch.capacity())));

  int16_t key_length = GetInt16(b);
  uint8_t key[kKeySize] = {};
  if (key_length > 0) key_length = static_cast<int16_t>(GetBlock(b, key, sizeof key));
  const int32_t option1 = GetInt32(b);
  const int32_t option2 = GetInt32(b);

  const int32_t status =
      MayWriteFile(s, file)
          ? QDK_ExtWrite(file, record, record_length, key, key_length, option1, option2)
          : TMBIO_DENIED;
  b.BeginReply();
  PutInt32(b, status);
}

void RemoveRecord(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  int16_t length = GetInt16(b);
  uint8_t key[kKeySize] = {};
  if (length != 0) length = static_cast<int16_t>(GetBlock(b, key, sizeof key));
  const int32_t result = MayWriteFile(s, file) ? QDK_remove(file, key, length) : TMBIO_DENIED;
  b.BeginReply();
  PutInt32(b, static_cast<int16_t>(static_cast<uint16_t>(result)));
}

void UnlockRecord(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const int32_t which = GetInt32(s.buffer);
  const int32_t status = QDK_UnlockRecord(file, which);
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

void PutRestrictInfo(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t selector = GetInt32(b);
  TMBRestriction restriction{};
  restriction.value1 = GetInt32(b);
  restriction.value2 = GetInt32(b);
  restriction.value3 = GetInt32(b);
  restriction.value4 = GetInt32(b);
  restriction.value5 = GetInt32(b);
  restriction.text_length = GetInt32(b);
  char text[kRestrictionTextSize];
  if (restriction.text_length != 0) {
    // At most 4095 bytes, so that the NUL after them stays in the buffer.
    const uint32_t n = GetBlock(b, text, kRestrictionTextSize - 1);
    text[n] = '\0';
    restriction.text_length = static_cast<int32_t>(n);
    restriction.text = text;
  }
  const int32_t status = QDK_PutRestrictInfo(file, selector, &restriction);
  b.BeginReply();
  PutInt32(b, status);
}

}  // namespace tmb
