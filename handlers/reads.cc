#include "handlers/reads.h"

#include <algorithm>
#include <cstring>

#include "handlers/read_buffer.h"
#include "handlers/request_fields.h"
#include "wire/errors.h"
#include "server/server.h"
#include "server/session.h"
#include "wire/primitives.h"
#include "wire/scratch_buffer.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

constexpr uint32_t kKeySize = 256;
constexpr uint32_t kBoundSize = 256;
// The longest bound a client may send: the buffer keeps room for a NUL
// after it and for the library's longest bound length (255) to stay inside.
constexpr int32_t kMaxBoundLength = 240;
// GetKey sends the key bytes only for sizes up to this.
constexpr int16_t kMaxGetKeySize = 241;
constexpr size_t kLocalRecordSize = 4096;
// The read mode of every read after the first in a block: the next record.
constexpr int32_t kReadNext = 2;
constexpr int32_t kReadPositioned = 1;
// Largest record length a block entry's two-byte field can carry.
constexpr uint64_t kMaxEntryRecord = 0xFFFF;

// The statuses after which a read has no record to copy.
bool EndsRestrictedBlock(int32_t status) {
  return status == TMBIO_READ_END || status == TMBIO_READ_STOP || status < TMBIO_READ_FILLED;
}

// The bound of restricted and first reads: 0xFF throughout, so that bound
// lengths the client announces without sending a bound compare against
// known bytes.
struct Bound {
  Bound() { std::memset(bytes, 0xFF, sizeof bytes); }
  uint8_t bytes[kBoundSize];
  uint8_t length = 0;
};

// An announced length of 1 to 240 brings the bound with it; any other value
// brings none and its low byte is passed as the length.
void GetBound(MessageBuffer& b, int32_t announced, Bound* bound) {
  if (announced >= 1 && announced <= kMaxBoundLength) {
    const uint32_t n = GetBlock(b, bound->bytes, kMaxBoundLength);
    bound->bytes[n] = 0;
    bound->length = static_cast<uint8_t>(n);
  } else {
    bound->length = static_cast<uint8_t>(announced & 0xFF);
  }
}

// The reply of a single restricted or first read: `size` record bytes as
// the client asked, of which the first `room` come from the read area and
// the rest are zeros, as an area of the full size would have held.
void PutRestrictedReply(MessageBuffer& b, int32_t status, const uint8_t* record, int32_t size,
                        int32_t room, const uint8_t* key, uint8_t key_length, int32_t value) {
  PutInt32(b, status);
  if (status == TMBIO_READ_END || status == TMBIO_READ_STOP) return;
  // The whole reply in one block: the zeros below come 4 KiB at a time.
  if (!b.Reserve(4 + static_cast<uint64_t>(size) + 1 + key_length + 4)) {
    throw RequestAbandoned();
  }
  if (size != 0) {
    PutInt32(b, size);
    if (!b.Append(record, static_cast<uint64_t>(room))) throw RequestAbandoned();
    static const uint8_t kZeros[4096] = {};
    for (uint64_t left = static_cast<uint64_t>(size - room); left != 0;) {
      const uint64_t n = std::min<uint64_t>(left, sizeof kZeros);
      if (!b.Append(kZeros, n)) throw RequestAbandoned();
      left -= n;
    }
  }
  PutByte(b, key_length);
  if (key_length != 0) PutBlock(b, key, key_length);
  PutInt32(b, value);
}

// The whole reply of a read that cannot start: -1, the status after which
// no data follows. A read on no file gets it, as the library itself answers
// one, and so does a block read on a file that refuses block reads.
void ReplyEnd(MessageBuffer& b) {
  b.BeginReply();
  PutInt32(b, TMBIO_READ_END);
}

// Appends to a block whose room is fixed when it is made.
class BlockWriter {
 public:
  BlockWriter(uint8_t* block, uint64_t room) : block_(block), room_(room) {}
  bool Fits(uint64_t n) const { return n <= room_ - used_; }
  void Int32(int32_t v) {
    StoreBigEndian32(block_ + used_, static_cast<uint32_t>(v));
    used_ += 4;
  }
  void Byte(uint8_t v) { block_[used_++] = v; }
  void Bytes(const void* p, uint64_t n) {
    if (n != 0) std::memcpy(block_ + used_, p, n);
    used_ += n;
  }
  uint64_t used() const { return used_; }

 private:
  uint8_t* block_;
  uint64_t room_;
  uint64_t used_ = 0;
};

}  // namespace

void ReadRecord(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int16_t size = GetInt16(b);
  const int16_t mode = GetInt16(b);
  if (size < 0) throw MalformedRequest("negative record size");

  auto scratch = Scratch<kLocalRecordSize>(size);
  // An empty read is passed no buffer at all.
  uint8_t* buffer = size > 0 ? scratch.data() : nullptr;
  const int32_t status = QDK_read(file, buffer, size, mode);
  b.BeginReply();
  PutInt32(b, status);
  // Never more than the buffer holds, whatever count the library reports.
  if (status > 0) PutBlock(b, buffer, static_cast<uint32_t>(std::min<int32_t>(status, size)));
}

void RestrictedRead(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t size = GetInt32(b);
  CheckedSize(size);
  const int16_t mode = GetInt16(b);
  const int32_t option = GetInt32(b);
  if (file == nullptr) return ReplyEnd(b);

  const ReadBufferTrim trim(file);
  const int32_t room = RecordRoom(file, size);
  uint8_t* record = PrepareReadBuffer(file, 2 * static_cast<uint64_t>(room) + 6);
  uint8_t key[kKeySize] = {};
  uint8_t key_length = 0;
  int32_t value = 0;
  const Bound bound;  // none: length 0
  const int32_t status = QDK_RestrictedRead(file, record, room, mode, key, &key_length, &value,
                                            bound.bytes, bound.length, option);
  b.BeginReply();
  PutRestrictedReply(b, status, record, size, room, key, key_length, value);
}

void ReadFirst(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t size = GetInt32(b);
  const int32_t extra_length = GetInt32(b);
  CheckedSize(size);
  CheckedSize(extra_length);
  const int16_t mode = GetInt16(b);
  Bound bound;
  GetBound(b, GetInt16(b), &bound);
  if (file == nullptr) {
    if (extra_length != 0) SkipBlock(b, static_cast<uint32_t>(extra_length));
    return ReplyEnd(b);
  }

  // The record area starts the work area; the extra area follows it after
  // one spare byte. The extra key cannot be longer than what the message
  // still holds, whatever length was announced for it.
  const ReadBufferTrim trim(file);
  const int32_t room = RecordRoom(file, size);
  const uint32_t extra_room =
      static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(extra_length), Remaining(b)));
  uint8_t* record = PrepareReadBuffer(file, 2 * static_cast<uint64_t>(room) + extra_room + 6);
  uint8_t* extra = record + room + 1;
  const void* extra_passed = nullptr;
  int32_t extra_passed_length = 0;
  if (extra_length != 0) {
    extra_passed_length = static_cast<int32_t>(GetBlock(b, extra, extra_room));
    extra_passed = extra;
  }
  uint8_t key[kKeySize] = {};
  uint8_t key_length = 0;
  int32_t value = 0;
  const int32_t status = QDK_read_FIRST(file, record, room, mode, key, &key_length, &value,
                                        bound.bytes, bound.length, extra_passed,
                                        extra_passed_length);
  b.BeginReply();
  PutRestrictedReply(b, status, record, size, room, key, key_length, value);
}

void RestrictedReadBlock(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t count = GetInt32(b);
  const int32_t size = GetInt32(b);
  CheckedSize(size);
  Bound bound;
  GetBound(b, GetByte(b), &bound);
  const int16_t mode = GetInt16(b);
  const int32_t option = GetInt32(b);

  if (count <= 0) {
    b.BeginReply();
    PutInt32(b, 0);
    return;
  }
  if (file == nullptr) {
    // The first read ends the block, as the library's -1 for no file would.
    uint8_t end[4];
    StoreBigEndian32(end, static_cast<uint32_t>(TMBIO_READ_END));
    b.BeginReply();
    PutInt32(b, sizeof end);
    PutBlock(b, end, sizeof end);
    return;
  }

  // Every entry is at most status, position, record, key length and key:
  // 9 + size + K bytes when the library keeps its keys within K. The block
  // has that room for each of `count` entries, and the read area lies past
  // it; an entry that would not fit all the same ends the block before it.
  const int64_t key_room = std::max<int32_t>(0, Low32(QDGetEnvMode(file, TMBIO_FILE_KEY_ROOM)));
  const uint64_t entry_room = 9 + static_cast<uint64_t>(size) + static_cast<uint64_t>(key_room);
  const uint64_t block_room = CheckedSize(count, entry_room);
  const ReadBufferTrim trim(file);
  uint8_t* block = PrepareReadBuffer(file, kReadBufferHeader + block_room + 2 * (size + 2ull));
  uint8_t* read_area = block + block_room;
  uint8_t key[kKeySize] = {};
  BlockWriter out(block, block_room);

  for (int32_t i = 0; i < count; ++i) {
    uint8_t key_length = 0;
    const int32_t status =
        QDK_RestrictedRead(file, read_area, size, i == 0 ? mode : kReadNext, key, &key_length,
                           nullptr, bound.bytes, bound.length, option);
    if (EndsRestrictedBlock(status)) {
      if (out.Fits(4)) out.Int32(status);
      break;
    }
    const int32_t position = QDK_getpos(file);
    if (position == -1) {
      if (out.Fits(8)) {
        out.Int32(status);
        out.Int32(position);
      }
      break;
    }
    const uint64_t length =
        status == TMBIO_READ_FILLED ? size : std::min<uint64_t>(status, size);
    if (!out.Fits(9 + length + key_length)) break;
    out.Int32(status);
    out.Int32(position);
    out.Bytes(read_area, length);
    out.Byte(key_length);
    out.Bytes(key, key_length);
  }
  b.BeginReply();
  PutInt32(b, static_cast<int32_t>(out.used()));
  if (out.used() != 0) PutBlock(b, block, static_cast<uint32_t>(out.used()));
}

void ReadBlock(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t seek_mode = GetInt32(b);
  if (file == nullptr || QDGetEnvMode(file, TMBIO_FILE_NO_BLOCK_READS) != 0) {
    return ReplyEnd(b);
  }
  const int64_t n = Low32(QDGetEnvMode(file, TMBIO_FILE_BLOCK_RECORDS));
  const int64_t k = Low32(QDGetEnvMode(file, TMBIO_FILE_SLOT_KEY_ROOM));
  const int64_t r = static_cast<int64_t>(Low32(QDGetEnvMode(file, TMBIO_FILE_RECORD_EXTRA))) +
                    Low32(QDGetEnvMode(file, TMBIO_FILE_RECORD_BASE));
  const int64_t slot = r + k + 3;
  // Sizes the library gives that no block could hold are answered as a file
  // that refuses block reads.
  const uint64_t limit = MaxMessageSize();
  if (n < 0 || k < 0 || r < 0 || r > INT32_MAX || static_cast<uint64_t>(slot) * 2 > limit ||
      static_cast<uint64_t>(n + 1) > limit / (static_cast<uint64_t>(slot) * 2)) {
    return ReplyEnd(b);
  }

  const uint64_t block_size = static_cast<uint64_t>(n) * static_cast<uint64_t>(slot);
  ScratchBuffer<0> buffer(static_cast<uint64_t>(n + 1) * slot * 2);
  uint8_t* read_area = buffer.data() + block_size * 2;
  BlockWriter out(buffer.data(), block_size);

  const uint8_t no_key[1] = {0};
  QDK_seek(file, no_key, -1, seek_mode);
  for (int64_t i = 0; i < n; ++i) {
    const int32_t status =
        QDK_read(file, read_area, static_cast<int32_t>(r), i == 0 ? kReadPositioned : kReadNext);
    if (status == TMBIO_READ_END || status < TMBIO_READ_FILLED) break;
    const int32_t key_length = Low32(QDGetEnvMode(file, TMBIO_FILE_LAST_KEY_LENGTH));
    const intptr_t key_address = QDGetEnvMode(file, TMBIO_FILE_LAST_KEY);
    const uint64_t length =
        status == TMBIO_READ_FILLED ? r : std::min<uint64_t>(status, r);
    // An entry the slot layout cannot express ends the block.
    if (key_length < 0 || key_length > 255 || length > kMaxEntryRecord) break;
    if (key_length > 0 && (key_address == 0 || key_address == TMBIO_UNKNOWN_MODE)) break;
    if (!out.Fits(1 + key_length + 2 + length)) break;
    out.Byte(static_cast<uint8_t>(key_length));
    out.Bytes(reinterpret_cast<const void*>(key_address), key_length);
    out.Byte(static_cast<uint8_t>(length >> 8));
    out.Byte(static_cast<uint8_t>(length));
    out.Bytes(read_area, length);
  }
  b.BeginReply();
  PutInt32(b, static_cast<int32_t>(slot));
  PutBlock(b, buffer.data(), static_cast<uint32_t>(block_size));
  PutInt32(b, static_cast<int32_t>(out.used()));
}

void ExtReadDirect(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t size = GetInt32(b);
  const int16_t option1 = GetInt16(b);
  const int32_t option2 = GetInt32(b);
  const int32_t option3 = GetInt32(b);
  auto scratch = Scratch(std::max<int32_t>(size, 0));
  uint8_t* buffer = size > 0 ? scratch.data() : nullptr;

  const int32_t status = QDK_ExtReadDirect(file, buffer, size, option1, option2, option3);
  b.BeginReply();
  PutInt32(b, status);
  const int32_t held = std::max<int32_t>(size, 0);
  if (status > 0) {
    PutBlock(b, buffer, static_cast<uint32_t>(std::min(status, held)));
  } else if (status == TMBIO_READ_FILLED && size > 0) {
    PutBlock(b, buffer, static_cast<uint32_t>(size));
  }
}

void SeekKey(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int16_t mode = GetInt16(b);
  int32_t length = GetInt16(b);
  uint8_t key[kKeySize] = {};
  if (length != 0) length = static_cast<int32_t>(GetBlock(b, key, sizeof key));
  const int32_t status = QDK_seek(file, key, length, mode);
  b.BeginReply();
  PutInt32(b, status);
}

void GetPosition(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const int32_t position = QDK_getpos(file);
  s.buffer.BeginReply();
  PutInt32(s.buffer, position);
}

void SetPosition(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const int32_t position = GetInt32(s.buffer);
  const int32_t status = QDK_setpos(file, position);
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

void GetKey(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int16_t size = GetInt16(b);
  const int16_t mode = GetInt16(b);
  uint8_t key[kKeySize] = {};
  // The library is never told the key buffer is larger than it is.
  const int32_t passed = std::clamp<int32_t>(size, 0, kKeySize);
  const int32_t result = QDK_GetKey(file, key, passed, mode);
  b.BeginReply();
  PutInt32(b, result);
  if (result > 0 && size >= 1 && size <= kMaxGetKeySize) {
    PutBlock(b, key, static_cast<uint32_t>(std::min<int32_t>(result, kKeySize)));
  }
}

void KeyAdjust(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  int16_t length = GetInt16(b);
  uint8_t key[kKeySize] = {};
  if (length > 0) length = static_cast<int16_t>(GetBlock(b, key, sizeof key));
  const int16_t mode = GetInt16(b);
  const int32_t status = QDK_keyadjust(file, key, length, mode);
  b.BeginReply();
  PutInt32(b, status);
}

void RawReadMode(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  const bool on = GetBoolean(s.buffer);
  const int32_t status = QDK_RawReadMode(file, on ? 1 : 0);
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

}  // namespace tmb
