#include "client/data_calls.h"

#include <algorithm>
#include <cstring>

#include "client/session_calls.h"
#include "tmbio/tmbio.h"
#include "wire/opcodes.h"
#include "wire/errors.h"

namespace tmb {
namespace {

using namespace opcode;

void PutText(MessageBuffer& b, const std::string& text) {
  PutBlock(b, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

void PutBytes(MessageBuffer& b, const std::string& bytes) {
  PutBlock(b, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A counted block of the reply, whole.
std::string GetBytes(MessageBuffer& r) {
  const int32_t n = GetInt32(r);
  if (n < 0 || static_cast<uint64_t>(n) > Remaining(r)) {
    throw MalformedReply("block longer than the reply");
  }
  std::string bytes(reinterpret_cast<const char*>(r.data() + r.cursor()), static_cast<size_t>(n));
  r.set_cursor(r.cursor() + static_cast<uint64_t>(n));
  return bytes;
}

// A fixed-width text field, without its NUL padding.
std::string GetField(MessageBuffer& r) {
  std::string bytes = GetBytes(r);
  bytes.resize(strnlen(bytes.c_str(), bytes.size()));
  return bytes;
}

std::string GetBlob(MessageBuffer& r) { return GetInt32(r) != 0 ? GetBytes(r) : std::string(); }


}  // namespace

bool CallOpenFile(Client& c, int32_t env, const std::string& name, int16_t mode, OpenedFile* file,
                  std::string* error) {
  c.BeginRequest(kOpenFile);
  PutInt32(c.request(), env);
  PutText(c.request(), name);
  PutInt32(c.request(), 0);  // no options
  PutInt16(c.request(), mode);
  PutInt32(c.request(), 0);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *file = OpenedFile{};
    file->id = GetInt32(r);
    if (file->id == -1) {
      file->error = GetInt32(r);
      return;
    }
    file->key_room = GetInt32(r);
    file->record_length = GetInt32(r);
    file->variable_length = GetInt32(r);
    file->block_records = GetInt32(r);
    file->key_count = GetInt32(r);
    file->flags = GetInt32(r);
  });
}

bool CallCloseFile(Client& c, int32_t file, int32_t* status, std::string* error) {
  c.BeginRequest(kCloseFile);
  PutInt32(c.request(), file);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallSeekKey(Client& c, int32_t file, int16_t mode, const std::string& key, int32_t* status,
                 std::string* error) {
  c.BeginRequest(kSeekKey);
  PutInt32(c.request(), file);
  PutInt16(c.request(), mode);
  PutInt16(c.request(), static_cast<int16_t>(key.size()));
  if (!key.empty()) PutBytes(c.request(), key);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallReadRecord(Client& c, int32_t file, int16_t size, int16_t mode, int32_t* status,
                    std::string* record, std::string* error) {
  c.BeginRequest(kReadRecord);
  PutInt32(c.request(), file);
  PutInt16(c.request(), size);
  PutInt16(c.request(), mode);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *status = GetInt32(r);
    record->clear();
    if (*status > 0) *record = GetBytes(r);
  });
}

bool CallKeyAdjust(Client& c, int32_t file, int16_t key_number, const std::string& key,
                   int32_t* status, std::string* error) {
  c.BeginRequest(kKeyAdjust);
  PutInt32(c.request(), file);
  PutInt16(c.request(), static_cast<int16_t>(key.size()));
  if (!key.empty()) PutBytes(c.request(), key);
  PutInt16(c.request(), key_number);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallGetPosition(Client& c, int32_t file, int32_t* position, std::string* error) {
  c.BeginRequest(kGetPosition);
  PutInt32(c.request(), file);
  return c.Exchange(error, [&](MessageBuffer& r) { *position = GetInt32(r); });
}

namespace {

// The reply of the restricted and first reads.
void GetKeyedRecord(MessageBuffer& r, int32_t size, KeyedRecord* out) {
  *out = KeyedRecord{};
  out->status = GetInt32(r);
  if (out->status == TMBIO_READ_END || out->status == TMBIO_READ_STOP) return;
  if (size != 0) out->record = GetBytes(r);
  const uint8_t key_length = GetByte(r);
  if (key_length != 0) out->key = GetBytes(r);
  out->position = GetInt32(r);
}

}  // namespace

bool CallReadFirst(Client& c, int32_t file, int32_t size, int16_t mode, const std::string& key,
                   KeyedRecord* out, std::string* error) {
  c.BeginRequest(kReadFirst);
  PutInt32(c.request(), file);
  PutInt32(c.request(), size);
  PutInt32(c.request(), static_cast<int32_t>(key.size()));
  PutInt16(c.request(), mode);
  PutInt16(c.request(), 0);  // no bound
  if (!key.empty()) PutBytes(c.request(), key);
  return c.Exchange(error, [&](MessageBuffer& r) { GetKeyedRecord(r, size, out); });
}

bool CallRestrictedRead(Client& c, int32_t file, int32_t size, int16_t mode, KeyedRecord* out,
                        std::string* error) {
  c.BeginRequest(kRestrictedRead);
  PutInt32(c.request(), file);
  PutInt32(c.request(), size);
  PutInt16(c.request(), mode);
  PutInt32(c.request(), 0);  // no lock
  return c.Exchange(error, [&](MessageBuffer& r) { GetKeyedRecord(r, size, out); });
}

bool CallRawReadMode(Client& c, int32_t file, bool on, int32_t* previous, std::string* error) {
  c.BeginRequest(kRawReadMode);
  PutInt32(c.request(), file);
  PutBoolean(c.request(), on);
  return c.Exchange(error, [&](MessageBuffer& r) { *previous = GetInt32(r); });
}

bool CallExtReadDirect(Client& c, int32_t file, int32_t size, int32_t position, int32_t* status,
                       std::string* record, std::string* error) {
  c.BeginRequest(kExtReadDirect);
  PutInt32(c.request(), file);
  PutInt32(c.request(), size);
  PutInt16(c.request(), 0);  // no lock
  PutInt32(c.request(), position);
  PutInt32(c.request(), 0);  // from the record's first byte
  return c.Exchange(error, [&](MessageBuffer& r) {
    *status = GetInt32(r);
    record->clear();
    if (*status > 0 || (*status == TMBIO_READ_FILLED && size > 0)) *record = GetBytes(r);
  });
}

bool ParseBlockEntries(const uint8_t* block, size_t used, std::vector<BlockEntry>* entries) {
  entries->clear();
  size_t at = 0;
  while (at < used) {
    const size_t key_length = block[at++];
    if (used - at < key_length + 2) return false;
    BlockEntry e;
    e.key.assign(reinterpret_cast<const char*>(block + at), key_length);
    at += key_length;
    const size_t length = (size_t{block[at]} << 8) | block[at + 1];
    at += 2;
    if (used - at < length) return false;
    e.record.assign(reinterpret_cast<const char*>(block + at), length);
    at += length;
    entries->push_back(std::move(e));
  }
  return true;
}

bool CallReadBlock(Client& c, int32_t file, int32_t seek_mode, ReadBlockReply* reply,
                   std::string* error) {
  c.BeginRequest(kReadBlock);
  PutInt32(c.request(), file);
  PutInt32(c.request(), seek_mode);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *reply = ReadBlockReply{};
    reply->slot = GetInt32(r);
    if (reply->slot == -1) {
      reply->refused = true;
      return;
    }
    const std::string block = GetBytes(r);
    reply->used = GetInt32(r);
    if (reply->used < 0 || static_cast<size_t>(reply->used) > block.size() ||
        !ParseBlockEntries(reinterpret_cast<const uint8_t*>(block.data()),
                           static_cast<size_t>(reply->used), &reply->entries)) {
      throw MalformedReply("block entries do not fill the used count");
    }
  });
}

namespace {

int32_t BigEndian32(const uint8_t* p) {
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]});
}

}  // namespace

bool ParseRestrictedEntries(const uint8_t* block, size_t used, int32_t size,
                            RestrictedBlockReply* reply) {
  reply->entries.clear();
  reply->end = 0;
  size_t at = 0;
  while (at < used) {
    if (used - at < 4) return false;
    const int32_t status = BigEndian32(block + at);
    at += 4;
    if (status == TMBIO_READ_END || status == TMBIO_READ_STOP || status < TMBIO_READ_FILLED) {
      reply->end = status;
      return at == used;
    }
    if (used - at < 4) return false;
    const int32_t position = BigEndian32(block + at);
    at += 4;
    // A record without a position: the library lost its place.
    if (position == -1) {
      reply->end = TMBIO_NO_CURRENT;
      return at == used;
    }
    const size_t length = static_cast<size_t>(status == TMBIO_READ_FILLED ? size
                                              : std::min(status, size));
    if (used - at < length + 1) return false;
    PositionedEntry e;
    e.position = position;
    e.record.assign(reinterpret_cast<const char*>(block + at), length);
    at += length;
    const size_t key_length = block[at++];
    if (used - at < key_length) return false;
    e.key.assign(reinterpret_cast<const char*>(block + at), key_length);
    at += key_length;
    reply->entries.push_back(std::move(e));
  }
  return true;
}

bool CallRestrictedReadBlock(Client& c, int32_t file, int32_t count, int32_t size, int16_t mode,
                             RestrictedBlockReply* reply, std::string* error) {
  c.BeginRequest(kRestrictedReadBlock);
  PutInt32(c.request(), file);
  PutInt32(c.request(), count);
  PutInt32(c.request(), size);
  PutByte(c.request(), 0);  // no bound
  PutInt16(c.request(), mode);
  PutInt32(c.request(), 0);  // no lock
  return c.Exchange(error, [&](MessageBuffer& r) {
    *reply = RestrictedBlockReply{};
    const int32_t used = GetInt32(r);
    if (used < 0) throw MalformedReply("a block of negative length");
    if (used == 0) return;
    const std::string block = GetBytes(r);
    if (block.size() != static_cast<size_t>(used) ||
        !ParseRestrictedEntries(reinterpret_cast<const uint8_t*>(block.data()), block.size(),
                                size, reply) ||
        reply->entries.size() > static_cast<size_t>(count)) {
      throw MalformedReply("restricted block entries do not fill the used count");
    }
  });
}

void BeginExtWrite(Client& c, int32_t file, const std::string& record, const std::string& key,
                   int32_t option1, int32_t option2) {
  c.BeginRequest(kExtWrite);
  PutInt32(c.request(), file);
  PutInt32(c.request(), static_cast<int32_t>(record.size()));
  PutBytes(c.request(), record);
  PutInt16(c.request(), static_cast<int16_t>(key.size()));
  if (!key.empty()) PutBytes(c.request(), key);
  PutInt32(c.request(), option1);
  PutInt32(c.request(), option2);
}

bool CallExtWrite(Client& c, int32_t file, const std::string& record, const std::string& key,
                  int32_t option1, int32_t option2, int32_t* status, std::string* error) {
  BeginExtWrite(c, file, record, key, option1, option2);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallTransaction(Client& c, uint8_t opcode, int32_t env, int32_t* status, std::string* error) {
  c.BeginRequest(opcode);
  PutInt32(c.request(), env);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallRemoveRecord(Client& c, int32_t file, const std::string& key, int32_t* status,
                      std::string* error) {
  c.BeginRequest(kRemoveRecord);
  PutInt32(c.request(), file);
  PutInt16(c.request(), static_cast<int16_t>(key.size()));
  if (!key.empty()) PutBytes(c.request(), key);
  return c.Exchange(error, [&](MessageBuffer& r) { *status = GetInt32(r); });
}

bool CallDescribeFile(Client& c, int32_t file, int32_t* status, FileDescription* description,
                      std::string* error) {
  c.BeginRequest(kDescribeFile);
  PutInt32(c.request(), file);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *status = GetInt32(r);
    if (*status != 1) return;
    for (int32_t& v : description->values) v = GetInt32(r);
    description->byte1 = GetByte(r);
    description->byte2 = GetByte(r);
  });
}

bool CallDescribeIndex(Client& c, int32_t file, int32_t start, int32_t end, int32_t segment_count,
                       int32_t* status, std::vector<IndexKey>* keys,
                       std::vector<IndexSegment>* segments, std::string* error) {
  c.BeginRequest(kDescribeIndex);
  PutInt32(c.request(), file);
  PutInt32(c.request(), start);
  PutInt32(c.request(), end);
  PutInt32(c.request(), segment_count);
  PutByte(c.request(), 1);
  PutByte(c.request(), 1);
  return c.Exchange(error, [&](MessageBuffer& r) {
    keys->clear();
    segments->clear();
    *status = GetInt32(r);
    if (*status == 0) return;
    const int32_t new_end = GetInt32(r);
    for (int32_t i = start; i < new_end; ++i) {
      IndexKey k;
      k.number = GetInt32(r);
      k.segment_count = GetInt32(r);
      k.length = GetInt32(r);
      k.duplicates = GetByte(r);
      k.name = GetField(r);
      keys->push_back(std::move(k));
    }
    const int32_t new_count = GetInt32(r);
    for (int32_t i = 0; i < new_count; ++i) {
      IndexSegment g;
      g.key = GetByte(r);
      g.segment = GetByte(r);
      g.flags = GetInt32(r);
      g.offset = GetInt32(r);
      g.length = GetInt32(r);
      segments->push_back(g);
    }
  });
}

bool CallRequestHandle(Client& c, int32_t env, int32_t* handle, int32_t* handle_error,
                       std::string* error) {
  c.BeginRequest(kRequestHandle);
  PutInt32(c.request(), env);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *handle = GetInt32(r);
    *handle_error = GetInt32(r);
  });
}

bool CallFreeHandle(Client& c, int32_t handle, std::string* error) {
  c.BeginRequest(kFreeHandle);
  PutInt32(c.request(), handle);
  return c.Exchange(error, [&](MessageBuffer& r) { GetInt32(r); });
}

bool CallGetTables(Client& c, int32_t handle, const std::string& table, int32_t* status,
                   int32_t* tables, int32_t* columns, std::string* error) {
  c.BeginRequest(kGetTables);
  PutInt32(c.request(), handle);
  PutInt32(c.request(), 0);  // catalog
  PutInt32(c.request(), 0);  // schema
  PutInt32(c.request(), table.empty() ? 0 : 1);
  if (!table.empty()) PutText(c.request(), table);
  PutInt32(c.request(), 0);  // tables
  return c.Exchange(error, [&](MessageBuffer& r) {
    *status = GetInt32(r);
    *tables = GetInt32(r);
    *columns = GetInt32(r);
  });
}

bool CallGetColumns(Client& c, int32_t handle, const std::string& table,
                    const std::string& column, int32_t* status, int32_t* count,
                    std::string* error) {
  c.BeginRequest(kGetColumns);
  PutInt32(c.request(), handle);
  PutInt32(c.request(), 0);  // catalog
  PutInt32(c.request(), 0);  // schema
  for (const std::string* text : {&table, &column}) {
    PutInt32(c.request(), text->empty() ? 0 : 1);
    if (!text->empty()) PutText(c.request(), *text);
  }
  return c.Exchange(error, [&](MessageBuffer& r) {
    *status = GetInt32(r);
    *count = GetInt32(r);
  });
}

bool CallFetchTable(Client& c, int32_t handle, int32_t count, int32_t* filled,
                    std::vector<TableRow>* rows, std::string* error) {
  c.BeginRequest(kFetchTable);
  PutInt32(c.request(), handle);
  PutInt32(c.request(), count);
  PutInt32(c.request(), 0);  // no name: go on from the last row
  return c.Exchange(error, [&](MessageBuffer& r) {
    rows->clear();
    *filled = GetInt32(r);
    for (int32_t i = 0; i < *filled; ++i) {
      TableRow t;
      for (std::string& text : t.texts) text = GetField(r);
      GetBlob(r);
      GetBlob(r);
      t.record_length = GetInt32(r);
      t.key_count = GetByte(r);
      t.kind = GetByte(r);
      t.has_extension = GetByte(r) != 0;
      if (t.has_extension) {
        const int32_t length = GetInt32(r);
        t.extension = GetBytes(r);
        if (length >= 0 && static_cast<size_t>(length) < t.extension.size()) {
          t.extension.resize(static_cast<size_t>(length));
        }
      }
      t.record_count = GetInt32(r);
      rows->push_back(std::move(t));
    }
  });
}

bool CallFetchColumn(Client& c, int32_t handle, int32_t count, int32_t* filled,
                     std::vector<ColumnRow>* rows, std::string* error) {
  c.BeginRequest(kFetchColumn);
  PutInt32(c.request(), handle);
  PutInt32(c.request(), count);
  return c.Exchange(error, [&](MessageBuffer& r) {
    rows->clear();
    *filled = GetInt32(r);
    for (int32_t i = 0; i < *filled; ++i) {
      ColumnRow col;
      for (std::string& text : col.texts) text = GetField(r);
      GetBlob(r);
      GetBlob(r);
      // The wire carries int5 before int4.
      for (int index : {0, 1, 2, 4, 3, 5, 6, 7, 8, 9}) col.ints[index] = GetInt32(r);
      col.flag = GetByte(r);
      rows->push_back(std::move(col));
    }
  });
}

bool CallFindFirstFile(Client& c, const std::string& pattern, int32_t* id, std::string* name,
                       std::string* error) {
  c.BeginRequest(kFindFirstFile);
  PutText(c.request(), pattern);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *id = GetInt32(r);
    name->clear();
    if (*id != -1) *name = GetReplyText(r);
  });
}

bool CallFindNextFile(Client& c, int32_t id, bool* found, std::string* name, std::string* error) {
  c.BeginRequest(kFindNextFile);
  PutInt32(c.request(), id);
  return c.Exchange(error, [&](MessageBuffer& r) {
    *found = GetInt32(r) != 0;
    name->clear();
    if (*found) *name = GetReplyText(r);
  });
}

bool CallFindClose(Client& c, int32_t id, std::string* error) {
  c.BeginRequest(kFindClose);
  PutInt32(c.request(), id);
  return c.Exchange(error, [&](MessageBuffer& r) { GetInt32(r); });
}

}  // namespace tmb
