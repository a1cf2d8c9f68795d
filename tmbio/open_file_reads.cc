// Reading an open file: the cursor kept between calls, moving in the
// current key's (or the raw) order, seeks, and the restricted reads.
#include "open_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "environment.h"
#include "key_image.h"
#include "locks.h"

namespace tmbio {

// ---- Statements and the cursor -------------------------------------------------

sqlite3_stmt* OpenFile::ShapeStatement(Shape shape, int32_t* status) {
  sqlite3_stmt*& slot = statements_[shape][current_key_];
  if (slot != nullptr) return slot;
  const std::string k = "k" + std::to_string(current_key_);
  std::string sql = "SELECT pos, data, " + k + " FROM records WHERE ";
  switch (shape) {
    case kFwdGe:
      sql += k + " >= ?1 ORDER BY " + k + ", pos";
      break;
    case kBwdGe:
      sql += k + " >= ?1 ORDER BY " + k + " DESC, pos DESC";
      break;
    case kFwdGt:
      sql += k + " > ?1 ORDER BY " + k + ", pos";
      break;
    case kBwdLt:
      sql += k + " < ?1 ORDER BY " + k + " DESC, pos DESC";
      break;
    case kFwdEqAfter:
      sql += k + " = ?1 AND pos > ?2 ORDER BY pos";
      break;
    case kBwdEqBefore:
      sql += k + " = ?1 AND pos < ?2 ORDER BY pos DESC";
      break;
    case kRawFwd:
      sql += "pos > ?1 ORDER BY pos";
      break;
    case kRawBwd:
      sql += "pos < ?1 ORDER BY pos DESC";
      break;
    default:
      sql += "pos = ?1";
      break;
  }
  int rc = sqlite3_prepare_v3(conn_->db(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &slot,
                              nullptr);
  if (rc != SQLITE_OK) {
    *status = StatusOf(rc);
    slot = nullptr;
  }
  return slot;
}

bool OpenFile::Fresh(int direction) const {
  return cursor_.stmt != nullptr && cursor_direction_ == direction &&
         cursor_key_ == current_key_ && cursor_raw_ == raw_ &&
         conn_->changes() == cursor_changes_;
}

int32_t OpenFile::RowOf(sqlite3_stmt* s, Row* row) {
  row->pos = sqlite3_column_int64(s, 0);
  row->data = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
  row->length = sqlite3_column_bytes(s, 1);
  if (sqlite3_column_type(s, 2) == SQLITE_NULL) {
    row->image = nullptr;
    row->image_length = 0;
  } else {
    row->image = static_cast<const uint8_t*>(sqlite3_column_blob(s, 2));
    row->image_length = sqlite3_column_bytes(s, 2);
    if (row->image == nullptr) row->image = reinterpret_cast<const uint8_t*>("");
  }
  // Key values are cut from the fixed part: a shorter record is not ours.
  if (row->length < schema_->record_length() || row->data == nullptr) return TMBIO_CORRUPT;
  return 1;
}

int32_t OpenFile::StartCursor(Shape shape, int direction, const std::string* image, int64_t pos,
                              Row* row) {
  StopCursor();
  int32_t status = 0;
  sqlite3_stmt* s = ShapeStatement(shape, &status);
  if (s == nullptr) return status;
  // The image is bound from cursor_image_, which outlives the statement's
  // run (SQLITE_STATIC).
  switch (shape) {
    case kRawFwd:
    case kRawBwd:
    case kByPos:
      sqlite3_bind_int64(s, 1, pos);
      break;
    case kFwdEqAfter:
    case kBwdEqBefore:
      cursor_image_ = *image;
      BindImage(s, 1, cursor_image_);
      sqlite3_bind_int64(s, 2, pos);
      break;
    default:
      cursor_image_ = *image;
      BindImage(s, 1, cursor_image_);
      break;
  }
  cursor_.stmt = s;
  cursor_direction_ = direction;
  cursor_key_ = current_key_;
  cursor_raw_ = raw_;
  cursor_next_ = shape == kFwdEqAfter ? kFwdGt : shape == kBwdEqBefore ? kBwdLt : kShapeCount;
  cursor_changes_ = conn_->changes();
  return StepCursor(row);
}

int32_t OpenFile::StepCursor(Row* row) {
  int rc = sqlite3_step(cursor_.stmt);
  if (rc == SQLITE_DONE && cursor_next_ != kShapeCount) {
    // The duplicates of the anchor's image are done; go on with the images
    // beyond it.
    sqlite3_reset(cursor_.stmt);
    int32_t status = 0;
    sqlite3_stmt* s = ShapeStatement(cursor_next_, &status);
    cursor_next_ = kShapeCount;
    if (s == nullptr) {
      cursor_.stmt = nullptr;
      return status;
    }
    BindImage(s, 1, cursor_image_);
    cursor_.stmt = s;
    rc = sqlite3_step(s);
  }
  if (rc == SQLITE_ROW) {
    int32_t status = RowOf(cursor_.stmt, row);
    if (status < 0) StopCursor();
    return status;
  }
  StopCursor();
  return rc == SQLITE_DONE ? TMBIO_END : StatusOf(rc);
}

void OpenFile::PositionOn(const Row& row) {
  where_ = Where::kOn;
  pos_ = row.pos;
  image_null_ = row.image == nullptr;
  if (image_null_) {
    image_.clear();
  } else {
    image_.assign(reinterpret_cast<const char*>(row.image), static_cast<size_t>(row.image_length));
  }
  image_key_ = current_key_;
}

// Makes the anchor's image that of the current key (after the key changed).
int32_t OpenFile::AnchorImage() {
  if (image_key_ == current_key_ || where_ == Where::kBeforeFirst || where_ == Where::kAfterLast) {
    return 0;
  }
  image_key_ = current_key_;
  image_null_ = true;
  image_.clear();
  if (where_ == Where::kGap) return 0;  // nothing to read it from
  Row row;
  int32_t status = StartCursor(kByPos, 0, nullptr, pos_, &row);
  if (status == TMBIO_END) {
    where_ = Where::kGap;
    return 0;
  }
  if (status < 0) return status;
  PositionOn(row);
  return 0;
}

int32_t OpenFile::First(bool forward, Row* row) {
  static const std::string kEmpty;
  int32_t status;
  if (raw_) {
    status = StartCursor(forward ? kRawFwd : kRawBwd, forward ? 1 : -1, nullptr,
                         forward ? 0 : std::numeric_limits<int64_t>::max(), row);
  } else {
    status = StartCursor(forward ? kFwdGe : kBwdGe, forward ? 1 : -1, &kEmpty, 0, row);
  }
  if (status == TMBIO_END) where_ = forward ? Where::kAfterLast : Where::kBeforeFirst;
  if (status == 1) PositionOn(*row);
  return status;
}

int32_t OpenFile::Move(bool forward, Row* row) {
  const int direction = forward ? 1 : -1;
  int32_t status;
  if (Fresh(direction)) {
    status = StepCursor(row);
  } else {
    switch (where_) {
      case Where::kBeforeFirst:
        if (!forward) return TMBIO_END;
        return First(true, row);
      case Where::kAfterLast:
        if (forward) return TMBIO_END;
        return First(false, row);
      default:
        break;
    }
    if (raw_) {
      status = StartCursor(forward ? kRawFwd : kRawBwd, direction, nullptr, pos_, row);
    } else {
      status = AnchorImage();
      if (status < 0) return status;
      // A record left out of a sparse key has no place in its order: from
      // there, next reads the first record and previous the last.
      if (image_null_) return First(forward, row);
      status = StartCursor(forward ? kFwdEqAfter : kBwdEqBefore, direction, &image_, pos_, row);
    }
  }
  if (status == TMBIO_END) where_ = forward ? Where::kAfterLast : Where::kBeforeFirst;
  if (status == 1) PositionOn(*row);
  return status;
}

int32_t OpenFile::ReadByMode(int32_t low, Row* row) {
  switch (low) {
    case TMBIO_READ_POSITIONED:
      return ReadPositioned(row);
    case TMBIO_READ_NEXT:
      return Move(true, row);
    case TMBIO_READ_PREVIOUS:
      return Move(false, row);
    case TMBIO_READ_FIRST:
      return First(true, row);
    default:
      return First(false, row);
  }
}

int32_t OpenFile::ReadPositioned(Row* row) {
  switch (where_) {
    case Where::kBeforeFirst:
      return First(true, row);
    case Where::kAfterLast:
    case Where::kGap:
      return TMBIO_END;
    case Where::kOn:
      break;
  }
  if (cursor_.stmt != nullptr && Fresh(cursor_direction_)) {
    // The cursor still holds the record the position is on.
    return RowOf(cursor_.stmt, row);
  }
  int32_t status = StartCursor(kByPos, 0, nullptr, pos_, row);
  if (status == TMBIO_END) {
    where_ = Where::kGap;
    return status;
  }
  if (status == 1) PositionOn(*row);
  return status;
}

void OpenFile::MakeCurrent(const Row& row) {
  has_current_ = true;
  current_pos_ = row.pos;
  current_data_.assign(reinterpret_cast<const char*>(row.data), static_cast<size_t>(row.length));
  const Key& key = current();
  KeyValue(key, row.data, last_key_);
  last_key_length_ = key.value_length;
}

int32_t OpenFile::Deliver(const Row& row, void* buffer, int32_t size) {
  MakeCurrent(row);
  if (size == 0) return 0;
  if (row.length > size) {
    memcpy(buffer, row.data, static_cast<size_t>(size));
    return TMBIO_FILLED;
  }
  memcpy(buffer, row.data, static_cast<size_t>(row.length));
  return row.length;
}

// ---- Reads ---------------------------------------------------------------------

int32_t OpenFile::Read(void* buffer, int32_t size, int32_t mode) {
  const int32_t low = mode & 0xff;
  const bool lock = (mode & TMBIO_READ_LOCK) != 0;
  if ((mode & ~(0xff | TMBIO_READ_LOCK)) != 0 || low < TMBIO_READ_POSITIONED ||
      low > TMBIO_READ_LAST || size < 0 || (size > 0 && buffer == nullptr)) {
    return TMBIO_INVALID;
  }
  // A lock refused leaves the position where it was.
  const Where saved_where = where_;
  const int64_t saved_pos = pos_;
  std::string saved_image;
  const bool saved_null = image_null_;
  const int32_t saved_key = image_key_;
  if (lock) saved_image = image_;

  Row row;
  int32_t status = ReadByMode(low, &row);
  if (status != 1) return status;
  if (lock) {
    int32_t locked = locks::Lock(conn_->id(), row.pos, env_, this);
    if (locked < 0) {
      StopCursor();
      where_ = saved_where;
      pos_ = saved_pos;
      image_.swap(saved_image);
      image_null_ = saved_null;
      image_key_ = saved_key;
      return locked;
    }
  }
  return Deliver(row, buffer, size);
}

int32_t OpenFile::SeekRow(const uint8_t* key, int32_t length, int32_t mode, Row* row) {
  if (mode < TMBIO_SEEK_EQUAL || mode > TMBIO_SEEK_LAST) return TMBIO_INVALID;
  if (length < 0) length = 0;
  if (length > 0 && key == nullptr) return TMBIO_INVALID;
  static const std::string kEmpty;
  std::string prefix;
  if (mode != TMBIO_SEEK_FIRST && mode != TMBIO_SEEK_LAST) {
    int32_t status = ImagePrefix(current(), key, static_cast<size_t>(length), &prefix);
    if (status < 0) return status;
  }
  // Seeks go by key even in raw read mode; the reads after them follow the
  // raw order from the record found.
  const bool raw = raw_;
  raw_ = false;
  int32_t status = TMBIO_END;
  std::string succ = prefix;
  switch (mode) {
    case TMBIO_SEEK_EQUAL:
      status = StartCursor(kFwdGe, 1, &prefix, 0, row);
      if (status == 1 && !ImageStartsWith(row->image, row->image_length, prefix)) {
        StopCursor();
        status = TMBIO_END;
      }
      break;
    case TMBIO_SEEK_GE:
      status = StartCursor(kFwdGe, 1, &prefix, 0, row);
      break;
    case TMBIO_SEEK_GT:
      StopCursor();
      if (PrefixSuccessor(&succ)) status = StartCursor(kFwdGe, 1, &succ, 0, row);
      break;
    case TMBIO_SEEK_LE:
      if (PrefixSuccessor(&succ)) {
        status = StartCursor(kBwdLt, -1, &succ, 0, row);
      } else {
        status = StartCursor(kBwdGe, -1, &kEmpty, 0, row);
      }
      break;
    case TMBIO_SEEK_LT:
      status = StartCursor(kBwdLt, -1, &prefix, 0, row);
      break;
    case TMBIO_SEEK_FIRST:
      status = StartCursor(kFwdGe, 1, &kEmpty, 0, row);
      break;
    default:
      status = StartCursor(kBwdGe, -1, &kEmpty, 0, row);
      break;
  }
  raw_ = raw;
  // In raw mode the cursor, in key order, is not fresh for the reads after.
  if (status == 1) PositionOn(*row);
  return status;
}

int32_t OpenFile::Seek(const uint8_t* key, int32_t length, int32_t mode) {
  Row row;
  return SeekRow(key, length, mode, &row);
}

int32_t OpenFile::SetPos(int32_t position) {
  if (position < 1) return TMBIO_END;
  Row row;
  int32_t status = StartCursor(kByPos, 0, nullptr, position, &row);
  if (status == 1) PositionOn(row);
  return status;
}

int32_t OpenFile::GetKey(uint8_t* key, int32_t size, int32_t mode) {
  if (mode < 0 || mode > schema_->key_count() || size < 0 || (size > 0 && key == nullptr)) {
    return TMBIO_INVALID;
  }
  if (!has_current_) return TMBIO_NO_CURRENT;
  const Key& k = schema_->key(mode == 0 ? current_key_ : mode);
  uint8_t value[TMBIO_MAX_KEY_LENGTH];
  KeyValue(k, reinterpret_cast<const uint8_t*>(current_data_.data()), value);
  if (size > 0) memcpy(key, value, static_cast<size_t>(std::min(size, k.value_length)));
  return k.value_length;
}

int32_t OpenFile::ChangeKey(int32_t number) {
  if (number < 1 || number > schema_->key_count()) return TMBIO_INVALID;
  if (number != current_key_) {
    StopCursor();
    current_key_ = number;
    pub_.current_key = number;
  }
  return 1;
}

int32_t OpenFile::KeyAdjust(const uint8_t* key, int32_t length, int32_t mode) {
  int32_t status = ChangeKey(mode);
  if (status < 0 || length <= 0) return status;
  return Seek(key, length, TMBIO_SEEK_GE);
}

int32_t OpenFile::RawReadMode(int32_t on) {
  int32_t previous = raw_ ? 1 : 0;
  StopCursor();
  raw_ = on != 0;
  return previous;
}

int32_t OpenFile::ReadDirect(void* buffer, int32_t size, int32_t option1, int32_t option2,
                             int32_t option3) {
  if ((option1 & ~TMBIO_OPTION_LOCK) != 0 || option3 < 0) return TMBIO_INVALID;
  if (size < 0 || buffer == nullptr) size = 0;
  if (option2 < 1) return TMBIO_END;
  Row row;
  int32_t status = StartCursor(kByPos, 0, nullptr, option2, &row);
  if (status != 1) return status;
  if (option3 > row.length) {
    StopCursor();
    return TMBIO_INVALID;
  }
  if (option1 & TMBIO_OPTION_LOCK) {
    int32_t locked = locks::Lock(conn_->id(), row.pos, env_, this);
    if (locked < 0) {
      StopCursor();
      return locked;
    }
  }
  PositionOn(row);
  MakeCurrent(row);
  const int32_t remaining = row.length - option3;
  if (remaining > size) {
    if (size > 0) memcpy(buffer, row.data + option3, static_cast<size_t>(size));
    return TMBIO_FILLED;
  }
  if (remaining > 0) memcpy(buffer, row.data + option3, static_cast<size_t>(remaining));
  return remaining;
}

int32_t OpenFile::Scan(int32_t status, Row* row, bool forward, bool lock, const uint8_t* bound,
                       uint8_t bound_length, void* record, int32_t size, uint8_t* key,
                       uint8_t* key_length, int32_t* value) {
  std::string bound_image;
  if (bound_length > 0) {
    if (bound == nullptr) return TMBIO_INVALID;
    size_t n = std::min<size_t>(bound_length, static_cast<size_t>(current().value_length));
    int32_t s = ImagePrefix(current(), bound, n, &bound_image);
    if (s < 0) return s;
  }
  int32_t examined = 0;
  for (;;) {
    if (status != 1) return status;
    ++examined;
    if (bound_length > 0) {
      // Compared in key order, on the bound's length.
      int cmp = 0;
      if (row->image != nullptr) {
        size_t n = std::min(bound_image.size(), static_cast<size_t>(row->image_length));
        cmp = memcmp(row->image, bound_image.data(), n);
      }
      if (forward ? cmp > 0 : cmp < 0) return TMBIO_STOP;
    }
    if (restriction_.Matches(row->data, static_cast<size_t>(row->length))) {
      if (lock) {
        int32_t locked = locks::Lock(conn_->id(), row->pos, env_, this);
        if (locked < 0) return locked;
      }
      int32_t result = Deliver(*row, record, size);
      if (key != nullptr) memcpy(key, last_key_, static_cast<size_t>(last_key_length_));
      if (key_length != nullptr) *key_length = static_cast<uint8_t>(last_key_length_);
      if (value != nullptr) *value = static_cast<int32_t>(row->pos);
      return result;
    }
    if (restriction_.scan_limit() > 0 && examined >= restriction_.scan_limit()) return TMBIO_STOP;
    status = Move(forward, row);
  }
}

int32_t OpenFile::RestrictedRead(void* record, int32_t size, int32_t mode, uint8_t* key,
                                 uint8_t* key_length, int32_t* value, const uint8_t* bound,
                                 uint8_t bound_length, int32_t option) {
  const int32_t low = mode & 0xff;
  if ((mode & ~(0xff | TMBIO_READ_LOCK)) != 0 || low < TMBIO_READ_POSITIONED ||
      low > TMBIO_READ_LAST || (option & ~TMBIO_OPTION_LOCK) != 0 || size < 0 ||
      (size > 0 && record == nullptr)) {
    return TMBIO_INVALID;
  }
  const bool lock = (mode & TMBIO_READ_LOCK) != 0 || (option & TMBIO_OPTION_LOCK) != 0;
  const bool forward = low == TMBIO_READ_POSITIONED || low == TMBIO_READ_NEXT || low == TMBIO_READ_FIRST;
  Row row;
  int32_t status = ReadByMode(low, &row);
  return Scan(status, &row, forward, lock, bound, bound_length, record, size, key, key_length, value);
}

int32_t OpenFile::ReadFirst(void* record, int32_t size, int32_t mode, uint8_t* key,
                            uint8_t* key_length, int32_t* value, const uint8_t* bound,
                            uint8_t bound_length, const void* extra, int32_t extra_length) {
  const int32_t low = mode & 0xff;
  if ((mode & ~(0xff | TMBIO_READ_LOCK)) != 0 || low < TMBIO_SEEK_EQUAL || low > TMBIO_SEEK_LAST ||
      size < 0 || (size > 0 && record == nullptr)) {
    return TMBIO_INVALID;
  }
  const bool forward = low == TMBIO_SEEK_EQUAL || low == TMBIO_SEEK_GE || low == TMBIO_SEEK_GT ||
                       low == TMBIO_SEEK_FIRST;
  Row row;
  int32_t status;
  if (extra == nullptr || extra_length <= 0) {
    // No key: from the first record going forward, the last going back.
    status = SeekRow(nullptr, 0, forward ? TMBIO_SEEK_FIRST : TMBIO_SEEK_LAST, &row);
  } else {
    status = SeekRow(static_cast<const uint8_t*>(extra), extra_length, low, &row);
  }
  return Scan(status, &row, forward, (mode & TMBIO_READ_LOCK) != 0, bound, bound_length, record,
              size, key, key_length, value);
}

}  // namespace tmbio
