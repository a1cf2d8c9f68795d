// Writing an open file: inserts, updates, removes, locks, and the
// autoincrement values given on insert.
#include "open_file.h"


#include <algorithm>
#include <cstring>
#include <limits>

#include "environment.h"
#include "key_image.h"
#include "locks.h"

namespace tmbio {

namespace {

constexpr int64_t kMaxPosition = std::numeric_limits<int32_t>::max();

}  // namespace

// ---- Writes ------------------------------------------------------------------------

int32_t OpenFile::FindByKey(Connection& c, const uint8_t* key, int32_t length, int64_t* pos) {
  if (length <= 0 || key == nullptr) return TMBIO_INVALID;
  std::string prefix;
  int32_t status = ImagePrefix(current(), key, static_cast<size_t>(length), &prefix);
  if (status < 0) return status;
  const std::string k = "k" + std::to_string(current_key_);
  sqlite3_stmt* s = c.Statement(
      "SELECT pos, " + k + " FROM records WHERE " + k + " >= ?1 ORDER BY " + k + ", pos LIMIT 1",
      &status);
  if (s == nullptr) return status;
  StatementUse use(s);
  BindImage(s, 1, prefix);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return TMBIO_END;
  if (rc != SQLITE_ROW) return StatusOf(rc);
  const auto* image = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
  if (!ImageStartsWith(image, sqlite3_column_bytes(s, 1), prefix)) return TMBIO_END;
  *pos = sqlite3_column_int64(s, 0);
  return 1;
}

int32_t OpenFile::FillAutoinc(Connection& c, std::string* data) {
  auto* rec = reinterpret_cast<uint8_t*>(data->data());
  for (int32_t n = 1; n <= schema_->key_count(); ++n) {
    const Key& key = schema_->key(n);
    if (!key.autoinc) continue;
    const Segment& seg = key.segments.front();
    if (ReadUnsigned(rec + seg.offset, seg.length) != 0) continue;
    // The highest value in use leads the key's order (or trails it, for a
    // descending segment); its image holds it big-endian.
    const bool descending = (seg.flags & TMBIO_SEG_DESCENDING) != 0;
    const std::string k = "k" + std::to_string(n);
    int32_t status = 0;
    sqlite3_stmt* s = c.Statement("SELECT " + k + " FROM records WHERE " + k +
                                           " IS NOT NULL ORDER BY " + k + (descending ? "" : " DESC") +
                                           " LIMIT 1",
                                       &status);
    if (s == nullptr) return status;
    StatementUse use(s);
    int rc = sqlite3_step(s);
    uint64_t highest = 0;  // as an image: offset by the sign flip for signed
    const bool is_signed = seg.type() == TMBIO_SEG_SIGNED;
    const int bits = seg.length * 8;
    const uint64_t sign = uint64_t{1} << (bits - 1);
    if (rc == SQLITE_ROW && sqlite3_column_bytes(s, 0) >= seg.length) {
      const auto* image = static_cast<const uint8_t*>(sqlite3_column_blob(s, 0));
      for (int32_t i = 0; i < seg.length; ++i) {
        highest = (highest << 8) | static_cast<uint8_t>(descending ? ~image[i] : image[i]);
      }
    } else if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      return StatusOf(rc);
    }
    // Back from image to value; the next value is above both it and 0.
    uint64_t next;
    const uint64_t max = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    if (is_signed) {
      uint64_t value_bits = highest ^ sign;  // two's complement within `bits`
      bool negative = (value_bits & sign) != 0;
      if (rc != SQLITE_ROW || negative) {
        next = 1;
      } else {
        if (value_bits >= sign - 1) return TMBIO_LIMIT;
        next = value_bits + 1;
      }
    } else {
      if (rc == SQLITE_ROW && highest >= max) return TMBIO_LIMIT;
      next = rc == SQLITE_ROW ? highest + 1 : 1;
    }
    WriteInteger(next, rec + seg.offset, seg.length);
  }
  return 0;
}

int32_t OpenFile::UpdateSql(Connection& c, int64_t target, const std::string* images,
                           const bool* present, std::string* sql) {
  const int n = schema_->key_count();
  *sql = "UPDATE records SET data = ?1";
  if (n > 0) {
    // An index whose key the update leaves as it was is left alone: setting
    // its column, even to the same image, rewrites its page, and every page
    // a write touches goes to the log whole (an update of a record's data
    // alone then writes one page instead of one for each key).
    int32_t status = 0;
    sqlite3_stmt* old = c.Statement(stored_keys_sql_, &status);
    if (old == nullptr) return status;
    StatementUse use(old);
    sqlite3_bind_int64(old, 1, target);
    const int rc = sqlite3_step(old);
    if (rc == SQLITE_DONE) return TMBIO_END;
    if (rc != SQLITE_ROW) return StatusOf(rc);
    for (int k = 0; k < n; ++k) {
      const bool stored = sqlite3_column_type(old, k) != SQLITE_NULL;
      const std::string& image = images[k];
      const bool same =
          stored == present[k] &&
          (!stored || (static_cast<size_t>(sqlite3_column_bytes(old, k)) == image.size() &&
                       (image.empty() ||
                        memcmp(sqlite3_column_blob(old, k), image.data(), image.size()) == 0)));
      if (!same) *sql += ", k" + std::to_string(k + 1) + " = ?" + std::to_string(k + 2);
    }
  }
  *sql += " WHERE pos = ?" + std::to_string(n + 2);
  return 0;
}

int32_t OpenFile::WriteInTx(Connection& c, std::string* data, const uint8_t* key,
                            int32_t key_length, int32_t operation, int64_t* pos,
                            std::string* images, bool* present) {
  int64_t target = 0;
  int32_t status;
  if (operation == TMBIO_WRITE_UPDATE) {
    target = current_pos_;
  } else if (operation == TMBIO_WRITE_UPDATE_KEY || operation == TMBIO_WRITE_UPSERT) {
    status = FindByKey(c, key, key_length, &target);
    if (status < 0 && !(status == TMBIO_END && operation == TMBIO_WRITE_UPSERT)) return status;
    if (status == TMBIO_END) target = 0;
  }
  if (target != 0 && locks::LockedByOther(conn_->id(), target, env_)) return TMBIO_LOCKED;
  if (target == 0) {
    status = FillAutoinc(c, data);
    if (status < 0) return status;
  }
  const auto* rec = reinterpret_cast<const uint8_t*>(data->data());
  const int n = schema_->key_count();
  for (int k = 0; k < n; ++k) present[k] = BuildImage(schema_->keys()[static_cast<size_t>(k)], rec, &images[k]);

  std::string update_sql;
  if (target != 0) {
    status = UpdateSql(c, target, images, present, &update_sql);
    if (status < 0) return status;
  }
  sqlite3_stmt* s = c.Statement(target == 0 ? insert_sql_ : update_sql, &status);
  if (s == nullptr) return status;
  StatementUse use(s);
  sqlite3_bind_blob(s, 1, data->data(), static_cast<int>(data->size()), SQLITE_STATIC);
  for (int k = 0; k < n; ++k) {
    if (present[k]) {
      BindImage(s, k + 2, images[k]);
    } else {
      sqlite3_bind_null(s, k + 2);
    }
  }
  if (target != 0) sqlite3_bind_int64(s, n + 2, target);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) return StatusOf(rc);
  if (target != 0) {
    if (sqlite3_changes(c.db()) == 0) return TMBIO_END;
    *pos = target;
    return 0;
  }
  *pos = sqlite3_last_insert_rowid(c.db());
  if (*pos > kMaxPosition) {
    // Record numbers are 32-bit on the wire; the row goes again.
    sqlite3_stmt* d = c.Statement("DELETE FROM records WHERE pos = ?1", &status);
    if (d != nullptr) {
      StatementUse du(d);
      sqlite3_bind_int64(d, 1, *pos);
      sqlite3_step(d);
    }
    return TMBIO_LIMIT;
  }
  return 0;
}

int32_t OpenFile::Write(const void* record, int32_t length, const uint8_t* key, int32_t key_length,
                        int32_t operation, int32_t flags) {
  if (operation < TMBIO_WRITE_INSERT || operation > TMBIO_WRITE_UPSERT ||
      (flags & ~TMBIO_WRITE_KEEP_LOCK) != 0 || (record == nullptr && length > 0)) {
    return TMBIO_INVALID;
  }
  if (length < 0 ||
      int64_t{length} > int64_t{schema_->record_length()} + schema_->variable_length()) {
    return TMBIO_BAD_LENGTH;
  }
  if ((operation == TMBIO_WRITE_UPDATE_KEY || operation == TMBIO_WRITE_UPSERT) &&
      (key == nullptr || key_length <= 0)) {
    return TMBIO_INVALID;
  }
  if (read_only_) return TMBIO_DENIED;
  if (operation == TMBIO_WRITE_UPDATE && !has_current_) return TMBIO_NO_CURRENT;
  // Shorter records are padded to the fixed part with zero bytes.
  std::string data(static_cast<size_t>(std::max(length, schema_->record_length())), '\0');
  if (length > 0) memcpy(data.data(), record, static_cast<size_t>(length));
  std::string images[TMBIO_MAX_KEYS];
  bool present[TMBIO_MAX_KEYS];
  int64_t pos = 0;
  // Committed alone, the write may run on another connection's thread
  // while this one waits: it touches this file's state only to read it.
  auto write = [&](Connection& c) {
    return WriteInTx(c, &data, key, key_length, operation, &pos, images, present);
  };
  int32_t status = conn_->Write(env_->in_tx(), WriteBody(write));
  if (status < 0) return status;
  // The written record becomes current, and the position moves onto it.
  where_ = Where::kOn;
  pos_ = pos;
  image_null_ = !present[current_key_ - 1];
  image_ = image_null_ ? std::string() : images[current_key_ - 1];
  image_key_ = current_key_;
  has_current_ = true;
  current_pos_ = pos;
  current_data_.swap(data);
  if (flags & TMBIO_WRITE_KEEP_LOCK) {
    int32_t locked = locks::Lock(conn_->id(), pos, env_, this);
    if (locked < 0) return locked;
  }
  return static_cast<int32_t>(pos);
}

int32_t OpenFile::Remove(const uint8_t* key, int32_t length) {
  if (length < 0) return TMBIO_BAD_LENGTH;
  if (length > 0 && key == nullptr) return TMBIO_INVALID;
  if (read_only_) return TMBIO_DENIED;
  if (length == 0 && !has_current_) return TMBIO_NO_CURRENT;
  int64_t target = current_pos_;
  std::string image;
  bool image_null = true;
  auto remove = [&](Connection& c) -> int32_t {
    if (length > 0) {
      int32_t found = FindByKey(c, key, length, &target);
      if (found < 0) return found;
    }
    if (locks::LockedByOther(conn_->id(), target, env_)) return TMBIO_LOCKED;
    int32_t st = 0;
    const std::string k = "k" + std::to_string(current_key_);
    sqlite3_stmt* s = c.Statement("DELETE FROM records WHERE pos = ?1 RETURNING " + k, &st);
    if (s == nullptr) return st;
    StatementUse use(s);
    sqlite3_bind_int64(s, 1, target);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) return TMBIO_END;
    if (rc != SQLITE_ROW) return StatusOf(rc);
    if (sqlite3_column_type(s, 0) != SQLITE_NULL) {
      image_null = false;
      image.assign(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                   static_cast<size_t>(sqlite3_column_bytes(s, 0)));
    }
    rc = sqlite3_step(s);  // the delete completes when its statement does
    return rc == SQLITE_DONE ? 1 : StatusOf(rc);
  };
  const int32_t status = conn_->Write(env_->in_tx(), WriteBody(remove));
  if (status < 0) return status;
  // The position stays in the gap, between the removed record's neighbours.
  where_ = Where::kGap;
  pos_ = target;
  image_.swap(image);
  image_null_ = image_null;
  image_key_ = current_key_;
  if (has_current_ && current_pos_ == target) has_current_ = false;
  locks::Unlock(conn_->id(), target, env_);
  return 1;
}

int32_t OpenFile::Unlock(int32_t which) {
  if (which == TMBIO_UNLOCK_ALL) return locks::UnlockFile(conn_->id(), env_);
  if (which < TMBIO_UNLOCK_ALL) return TMBIO_INVALID;
  if (which == TMBIO_UNLOCK_CURRENT) {
    if (!has_current_) return TMBIO_NO_CURRENT;
    return locks::Unlock(conn_->id(), current_pos_, env_);
  }
  return locks::Unlock(conn_->id(), which, env_);
}

}  // namespace tmbio
