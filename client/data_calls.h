// Typed calls of the data requests: open and close files, read, write and
// remove records, describe files and indexes, the SQL catalog queries and
// the server's directory searches. Each returns false with a message in
// *error when the exchange failed (the connection is then closed) or the
// reply does not hold its fields; the library's statuses come back as they
// are, for the caller to judge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client.h"

namespace tmb {

struct OpenedFile {
  int32_t id = -1;      // -1: the open failed
  int32_t error = 0;    // the error word of a failed open
  int32_t key_room = 0;       // negated when the first key has flagged segments
  int32_t record_length = 0;  // fixed part
  int32_t variable_length = 0;
  int32_t block_records = 0;
  int32_t key_count = 0;
  int32_t flags = 0;
};

// Opcode 40.
bool CallOpenFile(Client& c, int32_t env, const std::string& name, int16_t mode, OpenedFile* file,
                  std::string* error);
// Opcode 2.
bool CallCloseFile(Client& c, int32_t file, int32_t* status, std::string* error);

// Opcode 5. An empty key is sent as none (length 0).
bool CallSeekKey(Client& c, int32_t file, int16_t mode, const std::string& key, int32_t* status,
                 std::string* error);
// Opcode 4. *record gets the bytes sent (the status's count when positive).
bool CallReadRecord(Client& c, int32_t file, int16_t size, int16_t mode, int32_t* status,
                    std::string* record, std::string* error);
// Opcode 53: makes key `key_number` current, positioning by `key` when given.
bool CallKeyAdjust(Client& c, int32_t file, int16_t key_number, const std::string& key,
                   int32_t* status, std::string* error);
// Opcode 12.
bool CallGetPosition(Client& c, int32_t file, int32_t* position, std::string* error);

// A record read with its current-key value and position, as the
// restricted and first reads answer.
struct KeyedRecord {
  int32_t status = 0;    // the record's length, TMBIO_FILLED, or a status with no record
  std::string record;    // the bytes sent (the size asked for) when there is a record
  std::string key;       // the current key's value of the record
  int32_t position = 0;  // the record's position
};

// Opcode 42: seeks with seek mode `mode` on `key` (empty: none), then reads
// on from there (forward for seek modes 1, 2, 3 and 6, else backward).
bool CallReadFirst(Client& c, int32_t file, int32_t size, int16_t mode, const std::string& key,
                   KeyedRecord* out, std::string* error);
// Opcode 33 without conditions: reads with read mode `mode`.
bool CallRestrictedRead(Client& c, int32_t file, int32_t size, int16_t mode, KeyedRecord* out,
                        std::string* error);
// Opcode 51: while on, reads go in position order rather than key order;
// *previous is the setting before (0 or 1), or a status.
bool CallRawReadMode(Client& c, int32_t file, bool on, int32_t* previous, std::string* error);
// Opcode 63: reads the record at `position` and makes it current; *record
// gets the bytes sent.
bool CallExtReadDirect(Client& c, int32_t file, int32_t size, int32_t position, int32_t* status,
                       std::string* record, std::string* error);

struct BlockEntry {
  std::string key;
  std::string record;
};

struct ReadBlockReply {
  bool refused = false;  // the file refuses block reads
  int32_t slot = 0;
  int32_t used = 0;
  std::vector<BlockEntry> entries;
};

// Opcode 64: positions by seek mode and reads one block.
bool CallReadBlock(Client& c, int32_t file, int32_t seek_mode, ReadBlockReply* reply,
                   std::string* error);
// The entries packed in a block's first `used` bytes. False when they do
// not parse to exactly that length.
bool ParseBlockEntries(const uint8_t* block, size_t used, std::vector<BlockEntry>* entries);

struct PositionedEntry {
  int32_t position = 0;
  std::string record;  // as many bytes as the entry's status says
  std::string key;     // the current key's value
};

struct RestrictedBlockReply {
  std::vector<PositionedEntry> entries;
  // The status that ended the block (TMBIO_READ_END, TMBIO_READ_STOP or
  // a failure), or 0 when it ended full or for want of room.
  int32_t end = 0;
};

// Opcode 62 without a bound: up to `count` records of `size` bytes, the
// first read with read mode `mode` and the rest with read next, each with
// its position. A block whose entries do not parse is a malformed reply.
bool CallRestrictedReadBlock(Client& c, int32_t file, int32_t count, int32_t size, int16_t mode,
                             RestrictedBlockReply* reply, std::string* error);
// The entries packed in a restricted block's `used` bytes, records of
// `size` bytes asked for. False when they do not parse to exactly that.
bool ParseRestrictedEntries(const uint8_t* block, size_t used, int32_t size,
                            RestrictedBlockReply* reply);

// Opcode 35. BeginExtWrite only builds the request, for a caller that
// sends it some other way.
void BeginExtWrite(Client& c, int32_t file, const std::string& record, const std::string& key,
                   int32_t option1, int32_t option2);
bool CallExtWrite(Client& c, int32_t file, const std::string& record, const std::string& key,
                  int32_t option1, int32_t option2, int32_t* status, std::string* error);
// Opcodes 48, 49 and 50: begins, commits or rolls back the transaction of
// environment `env`; *status is the library's.
bool CallTransaction(Client& c, uint8_t opcode, int32_t env, int32_t* status, std::string* error);
// Opcode 7.
bool CallRemoveRecord(Client& c, int32_t file, const std::string& key, int32_t* status,
                      std::string* error);

struct FileDescription {
  int32_t values[13] = {};
  uint8_t byte1 = 0;
  uint8_t byte2 = 0;
};

// Opcode 43. *description is filled when the status is 1.
bool CallDescribeFile(Client& c, int32_t file, int32_t* status, FileDescription* description,
                      std::string* error);

struct IndexKey {
  int32_t number = 0;
  int32_t segment_count = 0;
  int32_t length = 0;
  uint8_t duplicates = 0;
  std::string name;
};

struct IndexSegment {
  uint8_t key = 0;
  uint8_t segment = 0;
  int32_t offset = 0;
  int32_t length = 0;
  int32_t flags = 0;
};

// Opcode 44: keys start+1 to end and up to `segment_count` segments.
bool CallDescribeIndex(Client& c, int32_t file, int32_t start, int32_t end, int32_t segment_count,
                       int32_t* status, std::vector<IndexKey>* keys,
                       std::vector<IndexSegment>* segments, std::string* error);

// Opcode 59. *handle 0 with *handle_error when the server gave none.
bool CallRequestHandle(Client& c, int32_t env, int32_t* handle, int32_t* handle_error,
                       std::string* error);
// Opcode 60.
bool CallFreeHandle(Client& c, int32_t handle, std::string* error);
// Opcode 55 with the table-name pattern (empty: none) and kind 0.
bool CallGetTables(Client& c, int32_t handle, const std::string& table, int32_t* status,
                   int32_t* tables, int32_t* columns, std::string* error);
// Opcode 56 with the table and column patterns (empty: none).
bool CallGetColumns(Client& c, int32_t handle, const std::string& table,
                    const std::string& column, int32_t* status, int32_t* count,
                    std::string* error);

struct TableRow {
  std::string texts[8];  // t1 to t8 without their padding
  int32_t record_length = 0;
  uint8_t key_count = 0;
  uint8_t kind = 0;
  bool has_extension = false;
  std::string extension;  // its first extension-length bytes
  int32_t record_count = 0;
};

struct ColumnRow {
  std::string texts[12];  // c1 to c12 without their padding
  int32_t ints[10] = {};  // int1 to int10, in the library's numbering
  uint8_t flag = 0;       // as sent: '0' for the library's 0
};

// Opcode 57 (no name) and 58: up to `count` rows; *filled is the server's count.
bool CallFetchTable(Client& c, int32_t handle, int32_t count, int32_t* filled,
                    std::vector<TableRow>* rows, std::string* error);
bool CallFetchColumn(Client& c, int32_t handle, int32_t count, int32_t* filled,
                     std::vector<ColumnRow>* rows, std::string* error);

// Opcodes 25, 26 and 27. *id -1 when nothing matched; *found false at the end.
bool CallFindFirstFile(Client& c, const std::string& pattern, int32_t* id, std::string* name,
                       std::string* error);
bool CallFindNextFile(Client& c, int32_t id, bool* found, std::string* name, std::string* error);
bool CallFindClose(Client& c, int32_t id, std::string* error);

}  // namespace tmb
