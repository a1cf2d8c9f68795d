// How the server's column and key descriptions map onto the record text
// codec's field kinds, and the data library's statuses in words. Shared by
// tmbcli's data commands and the SQL view, so that both read a field the
// same way.
#pragma once

#include <cstdint>
#include <string>

#include "tmbio/record_text.h"

namespace tmb {

// The kind of a column named `type_name` (CHAR, INTEGER, SMALLINT, BIGINT,
// TINYINT, DATE, anything else binary). The column records do not tell
// signed from unsigned integers; `schema`, the table record's JSON when it
// carries one, does for the field `field`.
tmbio::text::FieldKind ColumnKind(const std::string& type_name, const std::string& schema,
                                  const std::string& field);

// The kind of a key segment from its flag word's type bits.
tmbio::text::FieldKind SegmentKind(int32_t flags);

// A field or key segment as the server describes it. A length its kind
// cannot hold (an integer of 3 bytes) is read as binary rather than
// refused; one outside the record is refused when it is used.
tmbio::text::FieldLayout FieldAt(tmbio::text::FieldKind kind, std::string name, int32_t offset,
                                 int32_t length);

// What a status of the data library means, in words.
std::string StatusText(int32_t status);

}  // namespace tmb
