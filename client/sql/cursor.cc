#include "client/sql/cursor.h"

#include <sqlite3.h>

#include <cstring>

#include "client/data_calls.h"
#include "client/sql/value_codec.h"
#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The first unique key that holds every record: it finds a row read in a
// block again, and orders full scans in blocks.
int UniqueKey(const TableLayout& t) {
  for (size_t k = 0; k < t.table.keys.size(); ++k) {
    if (t.table.keys[k].unique && CompleteKey(t.table.keys[k])) return static_cast<int>(k);
  }
  return -1;
}

}  // namespace

Cursor::~Cursor() {
  s_.Release(t_, file_);
  s_.Release(t_, lookup_);
}

bool Cursor::Start(const Plan& plan, int argc, sqlite3_value** argv, std::string* error) {
  plan_ = plan;
  rows_.clear();
  done_ = false;
  seek_.clear();
  equal_.clear();
  upper_.clear();
  has_upper_ = false;
  last_key_.clear();
  last_record_.clear();
  if (file_.id == -1 && !s_.Acquire(t_, &file_, error)) return false;

  const TableLayout& t = table();
  if (plan_.by_rowid && argc > 0) return ReadAtPosition(argv[0], error);
  if (plan_.key >= static_cast<int>(t.table.keys.size())) plan_.key = -1;
  // Values the view cannot encode end the seek there: SQLite checks every
  // constraint again, so a wider read is never a wrong one.
  int slot = 0;
  bool exact = true;
  if (plan_.key >= 0) {
    const auto& fields = t.key_fields[static_cast<size_t>(plan_.key)];
    const int segments = static_cast<int>(fields.size());
    int equal = 0;
    for (; equal < plan_.equal_count && equal < segments && slot < argc; ++equal, ++slot) {
      std::string bytes;
      if (!KeyValueBytes(fields[static_cast<size_t>(equal)], argv[slot], &bytes)) {
        // x = NULL is never true: nothing to read.
        if (sqlite3_value_type(argv[slot]) == SQLITE_NULL) done_ = true;
        exact = false;
        break;
      }
      equal_ += bytes;
    }
    if (!exact) {
      plan_.equal_count = equal;
      plan_.lower = plan_.upper = plan_.text_equal = false;
      plan_.unique = false;
    }
    seek_ = equal_;
    if ((plan_.lower || plan_.upper) && equal < segments) {
      const auto& f = fields[static_cast<size_t>(equal)];
      std::string bytes;
      if (plan_.lower && slot < argc && LowerBoundBytes(f, argv[slot], &bytes)) seek_ += bytes;
      if (plan_.lower && !plan_.text_equal) ++slot;
      if (plan_.upper && slot < argc) {
        has_upper_ = UpperBoundBytes(f, argv[slot], &upper_);
        // A stored text equal to the bound's bytes reads as the bound,
        // unless the bound is empty or ends in a blank the padding swallows.
        if (f.kind == tmbio::text::FieldKind::kText) {
          const unsigned char* text = sqlite3_value_text(argv[slot]);
          const int n = sqlite3_value_bytes(argv[slot]);
          if (text == nullptr || n == 0 || text[n - 1] == ' ') plan_.upper_strict = false;
        }
      }
    }
  }
  if (done_) return true;
  const bool constrained = !equal_.empty() || seek_.size() > equal_.size() || has_upper_;
  // Blocks serve full scans and forward scans in key order, when the file
  // takes block reads and a unique key can find each row's position again.
  blocks_ = !constrained && !plan_.backward && t.block_reads && UniqueKey(t) >= 0;
  // A full scan record by record goes in position order: the file's
  // current key might leave records out.
  const int order = plan_.key >= 0 ? plan_.key : blocks_ ? UniqueKey(t) : kPositionOrder;
  if (!s_.UseKey(t_, &file_, order, error)) return false;
  return blocks_ ? ReadBlock(true, error) : ReadKeyed(true, error);
}

bool Cursor::Next(std::string* error) {
  if (!rows_.empty()) rows_.pop_front();
  if (!rows_.empty() || done_) return true;
  return blocks_ ? ReadBlock(false, error) : ReadKeyed(false, error);
}

std::span<const uint8_t> Cursor::record() const { return Bytes(rows_.front().record); }

bool Cursor::InRange(const std::string& key) const {
  if (key.size() < equal_.size() || std::memcmp(key.data(), equal_.data(), equal_.size()) != 0) {
    return false;
  }
  if (!has_upper_) return true;
  const auto& f =
      table().key_fields[static_cast<size_t>(plan_.key)][static_cast<size_t>(plan_.equal_count)];
  if (key.size() < static_cast<size_t>(f.offset + f.length)) return false;
  const int order = SegmentOrder(
      f.kind, Bytes(key).subspan(static_cast<size_t>(f.offset), static_cast<size_t>(f.length)),
      Bytes(upper_));
  return plan_.upper_strict ? order < 0 : order <= 0;
}

bool Cursor::ReadKeyed(bool first, std::string* error) {
  const TableLayout& t = table();
  const int32_t size = t.table.record_length + t.variable_length;
  KeyedRecord r;
  if (first && plan_.key < 0) {
    if (!CallRestrictedRead(s_.client(), file_.id, size, TMBIO_READ_FIRST, &r, error)) {
      return false;
    }
  } else if (first) {
    int16_t mode = plan_.backward ? TMBIO_SEEK_LAST : TMBIO_SEEK_FIRST;
    if (!seek_.empty()) mode = TMBIO_SEEK_GE;
    if (!CallReadFirst(s_.client(), file_.id, size, mode, seek_, &r, error)) return false;
  } else {
    const int16_t mode = plan_.backward ? TMBIO_READ_PREVIOUS : TMBIO_READ_NEXT;
    if (!CallRestrictedRead(s_.client(), file_.id, size, mode, &r, error)) return false;
  }
  if (r.status == TMBIO_END || r.status == TMBIO_STOP) {
    done_ = true;
    return true;
  }
  if (r.status < 0 && r.status != TMBIO_FILLED) {
    *error = s_.Failure(t_, "reading", r.status);
    return false;
  }
  if (plan_.key >= 0 && !InRange(r.key)) {
    done_ = true;
    return true;
  }
  Row row;
  row.record = std::move(r.record);
  if (r.status >= 0 && static_cast<size_t>(r.status) < row.record.size()) {
    row.record.resize(static_cast<size_t>(r.status));
  }
  if (row.record.size() < static_cast<size_t>(t.table.record_length)) {
    row.record.resize(static_cast<size_t>(t.table.record_length), '\0');
  }
  row.key = std::move(r.key);
  row.position = r.position;
  rows_.push_back(std::move(row));
  if (plan_.unique) done_ = true;
  return true;
}

bool Cursor::ReadBlock(bool first, std::string* error) {
  const TableLayout& t = table();
  ReadBlockReply block;
  // Seek mode 0 seeks nowhere: the block starts again at the last record
  // read, which is then skipped.
  if (!CallReadBlock(s_.client(), file_.id, first ? TMBIO_SEEK_FIRST : 0, &block, error)) {
    return false;
  }
  if (block.refused) {
    if (!first) {
      *error = t.table.name + ": the server stopped answering block reads";
      return false;
    }
    blocks_ = false;
    return ReadKeyed(true, error);
  }
  size_t skip = 0;
  if (!first && !block.entries.empty() && block.entries[0].key == last_key_ &&
      block.entries[0].record == last_record_) {
    skip = 1;
  }
  if (block.entries.size() <= skip) {
    done_ = true;
    return true;
  }
  // The next block's comparison needs the last record as sent, unpadded.
  last_key_ = block.entries.back().key;
  last_record_ = block.entries.back().record;
  for (size_t i = skip; i < block.entries.size(); ++i) {
    Row row;
    row.record = std::move(block.entries[i].record);
    if (row.record.size() < static_cast<size_t>(t.table.record_length)) {
      row.record.resize(static_cast<size_t>(t.table.record_length), '\0');
    }
    row.key = std::move(block.entries[i].key);
    rows_.push_back(std::move(row));
  }
  return true;
}

bool Cursor::ReadAtPosition(sqlite3_value* rowid, std::string* error) {
  done_ = true;
  const int type = sqlite3_value_type(rowid);
  if (type != SQLITE_INTEGER && type != SQLITE_FLOAT) {
    // rowid = '5' compares as a number, rowid = 'x' never holds: leave both
    // to SQLite over a full scan.
    plan_ = Plan{};
    done_ = false;
    return Start(plan_, 0, nullptr, error);
  }
  const double value = sqlite3_value_double(rowid);
  if (value != static_cast<double>(static_cast<int64_t>(value)) || value < 1 || value > INT32_MAX) {
    return true;  // no record has that position
  }
  Row row;
  row.position = static_cast<int32_t>(value);
  bool found = false;
  if (!s_.ReadAt(t_, file_, row.position, &row.record, &found, error)) return false;
  if (found) rows_.push_back(std::move(row));
  return true;
}

bool Cursor::Position(int32_t* position, std::string* error) {
  Row& row = rows_.front();
  if (row.position != 0) {
    *position = row.position;
    return true;
  }
  const TableLayout& t = table();
  const int key = UniqueKey(t);
  if (key < 0) {
    *error = t.table.name + ": a row read in a block has no key to find it by";
    return false;
  }
  std::string value;
  for (const KeySegment& g : t.table.keys[static_cast<size_t>(key)].segments) {
    value.append(row.record, static_cast<size_t>(g.offset), static_cast<size_t>(g.length));
  }
  if (lookup_.id == -1 && !s_.Acquire(t_, &lookup_, error)) return false;
  if (!s_.UseKey(t_, &lookup_, key, error)) return false;
  KeyedRecord r;
  if (!CallReadFirst(s_.client(), lookup_.id, 0, TMBIO_SEEK_EQUAL, value, &r, error)) {
    return false;
  }
  if (r.status < 0 && r.status != TMBIO_FILLED) {
    *error = s_.Failure(t_, "finding the row again", r.status);
    return false;
  }
  row.position = r.position;
  *position = row.position;
  return true;
}

}  // namespace tmb::sql
