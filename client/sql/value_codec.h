// SQL values to and from record bytes, through the record text codec so that
// the SQL view reads and writes a field exactly as tmbcli and tmbadmin do.
// A fixed-width field has no room of its own for NULL: a nullable field
// whose bytes are its empty value reads as NULL.
//
//   text      TEXT without trailing blanks; NULL when the column is nullable
//             and the field is blank (so a nullable field gives '' back as
//             NULL)
//   integers  INTEGER (an unsigned value above 2^63-1 comes back as TEXT);
//             never NULL: NULL written into a nullable one writes 0
//   date      TEXT 'YYYY-MM-DD' (YYYYMMDD is taken too); NULL when the column
//             is nullable and the field is blank
//   binary    BLOB of the field's bytes, a shorter BLOB padded with zeros;
//             NULL when the column is nullable and every byte is zero
//
// Keys: a value of a key segment is encoded the same way into the segment's
// bytes; KeyValueBytes refuses (false) a value that is not the exact value of
// some field, so that a caller can drop it from a seek instead of seeking on
// a different value.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "client/sql/database.h"
#include "client/sql/result_codes.h"
#include "tmbio/record_text.h"

struct sqlite3_context;
struct sqlite3_value;

namespace tmb::sql {

// Sets the result to the value of `field` in `record` (at least as long as
// the fixed part; CheckField has accepted the field for it).
void ResultOfField(sqlite3_context* ctx, const tmbio::text::FieldLayout& field, bool nullable,
                   std::span<const uint8_t> record);

// Writes `value` into `field` of `record`: SQLITE_OK, or the result code of
// why not (result_codes.h) with *error naming the column, the record then
// unchanged. `empty_ok`: the field may be left empty, so that NULL (and for
// a date '') writes its empty value; otherwise NULL is kResultNotNull and a
// date '' kResultNotADate. A text '' is a text, and no number for an integer.
int WriteField(const tmbio::text::FieldLayout& field, bool empty_ok, sqlite3_value* value,
               std::span<uint8_t> record, std::string* error);

// Whether `field` of `record` reads as `value` already: ResultOfField would
// give a value of the same type and bytes.
bool FieldHolds(const tmbio::text::FieldLayout& field, bool nullable, sqlite3_value* value,
                std::span<const uint8_t> record);

// The bytes `value` has in a key segment laid out as `segment` (offset 0).
// False when no field value equals it (NULL, a fraction for an integer,
// a text too long, a number as text for an integer, ...).
bool KeyValueBytes(const tmbio::text::FieldLayout& segment, sqlite3_value* value,
                   std::string* bytes);

// The bytes from which a forward seek finds every record whose segment value
// is at least `value`: for text its bytes without padding (a partial key),
// else as KeyValueBytes. False when there is no such start.
bool LowerBoundBytes(const tmbio::text::FieldLayout& segment, sqlite3_value* value,
                     std::string* bytes);

// Bytes such that a record whose segment bytes order after them (in key
// order: see SegmentOrder) has a value above `value`, as do all that follow
// it in key order. False when there is none that is safe to stop on.
bool UpperBoundBytes(const tmbio::text::FieldLayout& segment, sqlite3_value* value,
                     std::string* bytes);

// Compares two segment values of `kind` in the key's ascending order:
// integers by value (little-endian), everything else byte by byte.
int SegmentOrder(tmbio::text::FieldKind kind, std::span<const uint8_t> a,
                 std::span<const uint8_t> b);

}  // namespace tmb::sql
