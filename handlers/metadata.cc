#include "handlers/metadata.h"

#include <algorithm>

#include "handlers/catalog_records.h"
#include "handlers/request_fields.h"
#include "handlers/text_field.h"
#include "wire/errors.h"
#include "server/session.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

constexpr uint32_t kQueryTextSize = 256;
constexpr uint32_t kIndexNameWidth = 25;

// An optional query text: the flag says whether it follows. Present texts
// land in a zeroed buffer, terminated within it.
struct QueryText {
  char bytes[kQueryTextSize] = {};
  const char* text = nullptr;
  int32_t length = 0;

  void Read(MessageBuffer& b) {
    length = static_cast<int32_t>(GetTerminatedText(b, bytes, sizeof bytes));
    text = bytes;
  }
};

}  // namespace

void DescribeFile(Session& s) {
  TMBFile* file = OwnFile(s, GetInt32(s.buffer));
  TMBFileDescription d{};
  const int32_t status = QDDescribeFile(file, &d);
  MessageBuffer& b = s.buffer;
  b.BeginReply();
  PutInt32(b, status);
  if (status != 1) return;
  for (int32_t v : d.values) PutInt32(b, v);
  PutByte(b, d.byte1);
  PutByte(b, d.byte2);
}

void DescribeIndex(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBFile* file = OwnFile(s, GetInt32(b));
  const int32_t start = GetInt32(b);
  int32_t end = GetInt32(b);
  int32_t segment_count = GetInt32(b);
  const bool want_keys = GetByte(b) != 0;
  const bool want_segments = GetByte(b) != 0;

  // The arrays are as large as the request asks; a negative span is a
  // request for nothing.
  const int64_t key_slots = want_keys ? std::max<int64_t>(0, int64_t{end} - start) : 0;
  const int64_t segment_slots = want_segments ? std::max<int32_t>(0, segment_count) : 0;
  auto keys = Scratch(key_slots, sizeof(TMBIndexKey));
  auto segments = Scratch(segment_slots, sizeof(TMBIndexSegment));
  auto* key_array = want_keys ? reinterpret_cast<TMBIndexKey*>(keys.data()) : nullptr;
  auto* segment_array =
      want_segments ? reinterpret_cast<TMBIndexSegment*>(segments.data()) : nullptr;

  // Keys are numbered from 1 to at most TMBIO_MAX_KEYS, so every start from
  // there on describes none and gets the same answer (0); the library never
  // sees a start whose next key number overflows.
  const int32_t passed_start = std::min<int32_t>(start, TMBIO_MAX_KEYS);
  const int32_t status =
      QDDescribeIndex(file, passed_start, &end, &segment_count, key_array, segment_array);
  b.BeginReply();
  PutInt32(b, status);
  if (status == 0) return;
  // A refused call filled nothing and left the counts as the client sent
  // them: it is answered with no entries, not with the zeroed arrays.
  if (status < 0) {
    end = start;
    segment_count = 0;
  }

  // The counts the library hands back are capped at what the arrays hold,
  // and the capped counts are what the client is told, so that it reads
  // exactly the entries that follow.
  if (key_array != nullptr) {
    const int64_t filled = std::clamp<int64_t>(int64_t{end} - start, 0, key_slots);
    end = static_cast<int32_t>(start + filled);
    PutInt32(b, end);
    for (int64_t i = 0; i < filled; ++i) {
      const TMBIndexKey& k = key_array[i];
      PutInt32(b, k.number1);
      PutInt32(b, k.number2);
      PutInt32(b, k.number3);
      PutByte(b, k.byte1);
      PutBlock(b, k.name, kIndexNameWidth);
    }
  } else {
    PutInt32(b, end);
  }
  if (segment_array != nullptr) {
    segment_count = static_cast<int32_t>(std::clamp<int64_t>(segment_count, 0, segment_slots));
    PutInt32(b, segment_count);
    for (int32_t i = 0; i < segment_count; ++i) {
      const TMBIndexSegment& g = segment_array[i];
      PutByte(b, g.byte1);
      PutByte(b, g.byte2);
      PutInt32(b, g.number3);
      PutInt32(b, g.number1);
      PutInt32(b, g.number2);
    }
  } else {
    PutInt32(b, segment_count);
  }
}

void RequestHandle(Session& s) {
  TMBEnvironment* env = OwnEnvironment(s, GetInt32(s.buffer));
  int32_t error = 0;
  TMBSqlHandle* handle = QDRequestHandle(env, &error);
  s.buffer.BeginReply();
  PutInt32(s.buffer, handle != nullptr ? handle->id : 0);
  PutInt32(s.buffer, error);
}

void FreeHandle(Session& s) {
  TMBSqlHandle* handle = OwnSqlHandle(s, GetInt32(s.buffer));
  const int32_t status = QDFreeHandle(handle);
  s.buffer.BeginReply();
  PutInt32(s.buffer, status);
}

void GetTables(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBSqlHandle* handle = OwnSqlHandle(s, GetInt32(b));
  QueryText texts[3];
  for (QueryText& t : texts) {
    if (GetInt32(b) != 0) t.Read(b);  // a negative flag, too, brings its text
  }
  const int32_t kind = GetInt32(b);
  int32_t count1 = 0;
  int32_t count2 = 0;
  const int32_t status =
      QDGetTables(handle, texts[0].text, texts[0].length, texts[1].text, texts[1].length,
                  texts[2].text, texts[2].length, kind, &count1, &count2);
  b.BeginReply();
  PutInt32(b, status);
  PutInt32(b, count1);
  PutInt32(b, count2);
}

void GetColumns(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBSqlHandle* handle = OwnSqlHandle(s, GetInt32(b));
  QueryText texts[4];
  for (QueryText& t : texts) {
    if (GetInt32(b) > 0) t.Read(b);
  }
  int32_t count = 0;
  const int32_t status =
      QDGetColumns(handle, texts[0].text, texts[1].text, texts[2].text, texts[3].text, &count);
  b.BeginReply();
  PutInt32(b, status);
  PutInt32(b, count);
}

void FetchTable(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBSqlHandle* handle = OwnSqlHandle(s, GetInt32(b));
  const int32_t count = GetInt32(b);
  const int32_t flag = GetInt32(b);
  QueryText name;
  int32_t name_length = flag;
  if (flag > 0) {
    name.Read(b);
    name_length = name.length;
  }
  auto block = Scratch(count, sizeof(TMBTableRecord));
  auto* records = reinterpret_cast<TMBTableRecord*>(block.data());

  const int32_t filled = QDFetchTable(handle, name.text, name_length, count, records);
  const int32_t sent = std::min(filled, count);
  b.BeginReply();
  PutInt32(b, sent);
  for (int32_t i = 0; i < sent; ++i) PutTableRecord(b, records[i]);
}

void FetchColumn(Session& s) {
  MessageBuffer& b = s.buffer;
  TMBSqlHandle* handle = OwnSqlHandle(s, GetInt32(b));
  const int32_t count = GetInt32(b);
  auto block = Scratch(count, sizeof(TMBColumnRecord));
  auto* records = reinterpret_cast<TMBColumnRecord*>(block.data());

  const int32_t filled = QDFetchColumn(handle, count, records);
  const int32_t sent = std::min(filled, count);
  b.BeginReply();
  PutInt32(b, sent);
  for (int32_t i = 0; i < sent; ++i) PutColumnRecord(b, records[i]);
}

}  // namespace tmb
