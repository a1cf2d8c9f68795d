// An open file: a handle on a data file with its own current key, position,
// current record and restriction, reading and writing through its
// environment's connection to that data file.
//
// The position is an anchor in the current key's order: the (image, record
// number) pair of a record, or before the first, or after the last. A
// removed record leaves a gap anchor, so that the next read continues after
// it. Within one call, a run of reads in one direction (a restricted read
// passing over records) keeps one SQLite statement stepping (the cursor).
// No statement stays stepped once a call returns: a stepped statement holds
// its read snapshot, and with it every page of the write-ahead log written
// after that snapshot, however long the client stays quiet. The next call
// seeks again from the anchor.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

#include "data_file.h"
#include "definition.h"
#include "restriction.h"
#include "tmbio/tmbio.h"

namespace tmbio {

class Environment;

class OpenFile {
 public:
  // Opens data file `name` (relative to the environment's data directory;
  // ".tmb" is added when missing) in open `mode` (TMBIO_OPEN_* bits).
  static int32_t Open(Environment* env, const char* name, int32_t mode, OpenFile** out);
  ~OpenFile();  // releases the locks taken through it
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  static OpenFile* Of(TMBFile* file);  // null for a bad handle
  TMBFile* pub() { return &pub_; }
  Environment* env() const { return env_; }

  // The calls of the C interface, with its arguments and results.
  int32_t Read(void* buffer, int32_t size, int32_t mode);
  int32_t Seek(const uint8_t* key, int32_t length, int32_t mode);
  int32_t GetPos() const { return has_current_ ? static_cast<int32_t>(current_pos_) : TMBIO_END; }
  int32_t SetPos(int32_t position);
  int32_t GetKey(uint8_t* key, int32_t size, int32_t mode);
  int32_t KeyAdjust(const uint8_t* key, int32_t length, int32_t mode);
  int32_t RawReadMode(int32_t on);
  int32_t ReadDirect(void* buffer, int32_t size, int32_t option1, int32_t option2, int32_t option3);
  int32_t RestrictedRead(void* record, int32_t size, int32_t mode, uint8_t* key,
                         uint8_t* key_length, int32_t* value, const uint8_t* bound,
                         uint8_t bound_length, int32_t option);
  int32_t ReadFirst(void* record, int32_t size, int32_t mode, uint8_t* key, uint8_t* key_length,
                    int32_t* value, const uint8_t* bound, uint8_t bound_length, const void* extra,
                    int32_t extra_length);
  int32_t Write(const void* record, int32_t length, const uint8_t* key, int32_t key_length,
                int32_t operation, int32_t flags);
  int32_t Remove(const uint8_t* key, int32_t length);
  int32_t Unlock(int32_t which);
  int32_t PutRestriction(int32_t selector, const TMBRestriction* r) { return restriction_.Put(selector, r); }
  int32_t Dict(int32_t index, void* buffer, int32_t size);
  int32_t DictAdd(int32_t index, const void* data, int32_t length);
  intptr_t GetMode(int32_t mode);
  intptr_t SetMode(int32_t mode, intptr_t value);
  int32_t Describe(TMBFileDescription* d);
  int32_t DescribeIndex(int32_t start, int32_t* end, int32_t* segment_count, TMBIndexKey* keys,
                        TMBIndexSegment* segments);

  // Ends the calls of the C interface on the file (request_scope.h): resets
  // the statement they stepped, so that no read snapshot outlives them.
  void EndCall() { StopCursor(); }

  // The error word of the last call (QDK_geterrno).
  int32_t error_word() const { return error_word_; }
  void set_result(int32_t result) { error_word_ = result < 0 ? -result : 0; }

 private:
  enum class Where { kBeforeFirst, kAfterLast, kOn, kGap };
  // The shapes of the statements a handle steps through.
  enum Shape {
    kFwdGe,        // key >= ?1, ascending
    kBwdGe,        // key >= ?1, descending (the last record)
    kFwdGt,        // key > ?1, ascending
    kBwdLt,        // key < ?1, descending
    kFwdEqAfter,   // key = ?1 and pos > ?2, ascending (the duplicates after)
    kBwdEqBefore,  // key = ?1 and pos < ?2, descending
    kRawFwd,       // pos > ?1, ascending
    kRawBwd,       // pos < ?1, descending
    kByPos,        // pos = ?1
    kShapeCount
  };
  // A record as the cursor's statement holds it; valid until the cursor
  // moves or stops.
  struct Row {
    int64_t pos = 0;
    const uint8_t* data = nullptr;
    int32_t length = 0;
    const uint8_t* image = nullptr;  // null: not in the current key
    int32_t image_length = 0;
  };

  OpenFile(Environment* env, std::shared_ptr<Connection> conn, bool read_only, bool exclusive);

  const Key& current() const { return schema_->key(current_key_); }
  sqlite3_stmt* ShapeStatement(Shape shape, int32_t* status);
  void StopCursor() { cursor_.Stop(); }
  bool Fresh(int direction) const;
  int32_t StartCursor(Shape shape, int direction, const std::string* image, int64_t pos, Row* row);
  int32_t StepCursor(Row* row);
  int32_t RowOf(sqlite3_stmt* s, Row* row);
  void PositionOn(const Row& row);
  int32_t AnchorImage();
  int32_t Move(bool forward, Row* row);
  int32_t ReadPositioned(Row* row);
  // Reads 1 to 5 of the read modes (the low byte, already checked).
  int32_t ReadByMode(int32_t low, Row* row);
  int32_t First(bool forward, Row* row);
  int32_t SeekRow(const uint8_t* key, int32_t length, int32_t mode, Row* row);
  void MakeCurrent(const Row& row);
  int32_t Deliver(const Row& row, void* buffer, int32_t size);
  int32_t Scan(int32_t status, Row* row, bool forward, bool lock, const uint8_t* bound,
               uint8_t bound_length, void* record, int32_t size, uint8_t* key,
               uint8_t* key_length, int32_t* value);
  int32_t ChangeKey(int32_t number);
  // The parts of a write, run on `c`: this file's connection, or the one
  // leading the batch a write committed alone is in.
  int32_t FindByKey(Connection& c, const uint8_t* key, int32_t length, int64_t* pos);
  int32_t WriteInTx(Connection& c, std::string* data, const uint8_t* key, int32_t key_length,
                    int32_t operation, int64_t* pos, std::string* images, bool* present);
  int32_t FillAutoinc(Connection& c, std::string* data);
  // The update of the record at `target` to `images`, setting only the key
  // columns whose images change; TMBIO_END when the record is gone.
  int32_t UpdateSql(Connection& c, int64_t target, const std::string* images, const bool* present,
                    std::string* sql);
  int64_t CountRows(const char* sql, int32_t* status);

  TMBFile pub_{};
  Environment* env_;
  std::shared_ptr<Connection> conn_;
  std::unique_ptr<Schema> schema_;
  bool read_only_;
  bool exclusive_;
  intptr_t client_cell_ = 0;
  int32_t error_word_ = 0;

  int32_t current_key_ = 1;
  bool raw_ = false;
  // The position.
  Where where_ = Where::kBeforeFirst;
  int64_t pos_ = 0;
  std::string image_;        // of the current key at the anchor
  bool image_null_ = false;  // the anchor record is not in that key
  int32_t image_key_ = 0;    // the key image_ belongs to (0: none)
  // The current record.
  bool has_current_ = false;
  int64_t current_pos_ = 0;
  std::string current_data_;
  // Current-key value of the record just read (file modes -6, -7).
  uint8_t last_key_[TMBIO_MAX_KEY_LENGTH + 1] = {};
  int32_t last_key_length_ = 0;

  // The cursor and what it was started under.
  Cursor cursor_;
  int cursor_direction_ = 0;  // 1 ascending, -1 descending, 0 one row
  int32_t cursor_key_ = 0;
  bool cursor_raw_ = false;
  Shape cursor_next_ = kShapeCount;  // the shape the duplicates give way to
  std::string cursor_image_;         // its argument
  int64_t cursor_changes_ = 0;

  sqlite3_stmt* statements_[kShapeCount][TMBIO_MAX_KEYS + 1] = {};
  std::string insert_sql_;
  std::string stored_keys_sql_;  // the key images of the record at ?1
  Restriction restriction_;
};

}  // namespace tmbio
