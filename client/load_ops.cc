#include "client/load_ops.h"

#include <algorithm>

#include "tmbio/tmbio.h"
#include "wire/opcodes.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

constexpr int kEchoPayload = 64;
// The echo's request carries seven bytes that its reply does not.
constexpr int kEchoPrefix = 7;

}  // namespace

std::string LoadKey(const LoadTarget& t, int64_t n) {
  const auto length = static_cast<size_t>(std::max(t.key_length, 0));
  std::string key(length, '\0');
  if (t.key_is_text) {
    const std::string digits = std::to_string(n);
    key.assign(length, '0');
    const size_t shown = std::min(length, digits.size());
    key.replace(length - shown, shown, digits, digits.size() - shown, shown);
  } else {
    auto u = static_cast<uint64_t>(n);
    for (size_t i = 0; i < length && i < 8; ++i, u >>= 8) key[i] = static_cast<char>(u & 0xFF);
  }
  return key;
}

std::string LoadRecord(const LoadTarget& t, int64_t n, uint32_t salt) {
  std::string record(static_cast<size_t>(std::max(t.record_size, 0)),
                     static_cast<char>('a' + salt % 26));
  const std::string key = LoadKey(t, n);
  if (t.key_offset >= 0 && static_cast<size_t>(t.key_offset) + key.size() <= record.size()) {
    record.replace(static_cast<size_t>(t.key_offset), key.size(), key);
  }
  return record;
}

void BuildLoadRequest(Client& c, LoadOp op, const LoadTarget& t, int64_t n, uint32_t salt) {
  MessageBuffer& b = c.request();
  switch (op) {
    case LoadOp::kEcho:
      c.BeginRequest(opcode::kEcho);
      for (int i = 0; i < kEchoPrefix + kEchoPayload; ++i) PutByte(b, static_cast<uint8_t>(i * 31));
      break;
    case LoadOp::kReadByKey: {
      const std::string key = LoadKey(t, n);
      c.BeginRequest(opcode::kReadFirst);
      PutInt32(b, t.file);
      PutInt32(b, t.record_size);
      PutInt32(b, static_cast<int32_t>(key.size()));
      PutInt16(b, TMBIO_SEEK_EQUAL);
      PutInt16(b, 0);  // no bound
      PutBlock(b, key.data(), static_cast<uint32_t>(key.size()));
      break;
    }
    case LoadOp::kReadNext:
      c.BeginRequest(opcode::kReadRecord);
      PutInt32(b, t.file);
      PutInt16(b, static_cast<int16_t>(std::min(t.record_size, 32767)));
      PutInt16(b, TMBIO_READ_NEXT);
      break;
    case LoadOp::kReadBlock:
      c.BeginRequest(opcode::kReadBlock);
      PutInt32(b, t.file);
      PutInt32(b, TMBIO_SEEK_FIRST);
      break;
    case LoadOp::kWrite: {
      const std::string record = LoadRecord(t, n, salt);
      c.BeginRequest(opcode::kExtWrite);
      PutInt32(b, t.file);
      PutInt32(b, static_cast<int32_t>(record.size()));
      PutBlock(b, record.data(), static_cast<uint32_t>(record.size()));
      PutInt16(b, static_cast<int16_t>(t.key_length));
      PutBlock(b, record.data() + t.key_offset, static_cast<uint32_t>(t.key_length));
      PutInt32(b, t.write_mode);
      PutInt32(b, 0);
      break;
    }
  }
}

LoadResult JudgeLoadReply(Client& c, LoadOp op, const LoadTarget& t) {
  MessageBuffer& r = c.reply();
  if (op == LoadOp::kEcho) {
    return r.length() - r.cursor() == kEchoPayload ? LoadResult::kOk : LoadResult::kFailed;
  }
  if (r.length() - r.cursor() < 4) return LoadResult::kFailed;
  const int32_t status = GetInt32(r);
  switch (op) {
    case LoadOp::kReadByKey:
      if (status == TMBIO_READ_END) return LoadResult::kMiss;
      return status == t.record_size ? LoadResult::kOk : LoadResult::kFailed;
    case LoadOp::kReadNext:
      // The end of the file is where the next read starts again.
      return status > 0 || status == TMBIO_READ_END || status == TMBIO_FILLED ? LoadResult::kOk
                                                                              : LoadResult::kFailed;
    case LoadOp::kReadBlock:
    case LoadOp::kWrite:
      return status > 0 ? LoadResult::kOk : LoadResult::kFailed;
    default:
      return LoadResult::kFailed;
  }
}

}  // namespace tmb
