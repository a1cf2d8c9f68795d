#include "client/sql/cursor.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

#include "client/data_calls.h"
#include "client/sql/value_codec.h"
#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

// Records a block read asks for: as many as fit a reply of about 1 MiB,
// at most 256.
constexpr int32_t kBlockRecords = 256;
constexpr int64_t kBlockBytes = 1 << 20;

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace

Cursor::~Cursor() { s_.Release(t_, file_); }

bool Cursor::Start(const Plan& plan, int argc, sqlite3_value** argv, std::string* error) {
  plan_ = plan;
  rows_.clear();
  seen_.Clear();
  done_ = false;
  seek_.clear();
  equal_.clear();
  upper_.clear();
  has_upper_ = false;
  const TableLayout& t = table();
  if (plan_.by_rowid && argc > 0) {
    if (file_.id == -1 && !s_.Acquire(t_, &file_, error)) return false;
    return ReadAtPosition(argv[0], error);
  }
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
  // takes block reads.
  blocks_ = !constrained && !plan_.backward && t.block_reads;
  // A full scan goes in position order: a position never changes, so no
  // change of a key can make the scan meet a row twice or pass one by, and
  // the file's current key might leave records out. In key order a row
  // can move ahead of the scan, and is known again by its position.
  dedupe_ = plan_.key >= 0 && !plan_.unique;
  const int order = plan_.key >= 0 ? plan_.key : kPositionOrder;
  if (file_.id == -1 && !s_.Acquire(t_, &file_, error, order)) return false;
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

bool Cursor::Take(int32_t position, std::string record, const std::string& key) {
  if (plan_.key >= 0 && !InRange(key)) return false;
  if (dedupe_ && !seen_.Insert(position)) return true;
  const size_t length = static_cast<size_t>(table().table.record_length);
  if (record.size() < length) record.resize(length, '\0');
  rows_.push_back(Row{std::move(record), position});
  return true;
}

bool Cursor::ReadKeyed(bool first, std::string* error) {
  const TableLayout& t = table();
  const int32_t size = t.table.record_length + t.variable_length;
  // A row returned before is passed over: read on until a new one, the
  // end, or the range's end.
  while (rows_.empty() && !done_) {
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
    first = false;
    if (r.status == TMBIO_END || r.status == TMBIO_STOP) {
      done_ = true;
      return true;
    }
    if (r.status < 0 && r.status != TMBIO_FILLED) {
      *error = s_.Failure(t_, "reading", r.status);
      return false;
    }
    if (r.status >= 0 && static_cast<size_t>(r.status) < r.record.size()) {
      r.record.resize(static_cast<size_t>(r.status));
    }
    if (!Take(r.position, std::move(r.record), r.key)) done_ = true;
    if (plan_.unique) done_ = true;
  }
  return true;
}

bool Cursor::ReadBlock(bool first, std::string* error) {
  const TableLayout& t = table();
  const int32_t size = t.table.record_length + t.variable_length;
  const int32_t count = static_cast<int32_t>(std::clamp<int64_t>(
      kBlockBytes / (9 + int64_t{size} + TMBIO_MAX_KEY_LENGTH), 1, kBlockRecords));
  while (rows_.empty() && !done_) {
    // Read next goes on from the last row read, wherever it is now.
    RestrictedBlockReply block;
    if (!CallRestrictedReadBlock(s_.client(), file_.id, count, size,
                                 first ? TMBIO_READ_FIRST : TMBIO_READ_NEXT, &block, error)) {
      return false;
    }
    first = false;
    for (PositionedEntry& e : block.entries) {
      if (!Take(e.position, std::move(e.record), e.key)) {
        done_ = true;
        break;
      }
    }
    if (block.end == TMBIO_END || block.end == TMBIO_STOP) {
      done_ = true;
    } else if (block.end < 0) {
      *error = s_.Failure(t_, "reading", block.end);
      return false;
    } else if (block.entries.empty()) {
      *error = t.table.name + ": the server sent an empty block";
      return false;
    }
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
  const Row& row = rows_.front();
  if (row.position < 1) {
    *error = table().table.name + ": the server gave a row no position";
    return false;
  }
  *position = row.position;
  return true;
}

}  // namespace tmb::sql
