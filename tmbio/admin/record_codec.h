// Field values as text, the form CSV files carry, and their bytes in a
// record, as the field definitions lay them out:
//   char    text padded with blanks
//   int     signed little-endian integer of 1, 2, 4 or 8 bytes
//   uint    unsigned likewise
//   date    YYYYMMDD (YYYY-MM-DD is read as well), a real calendar day
//   binary  hexadecimal digits, padded with zero bytes
// An empty text is the field's empty value: blanks for char and date, zero
// bytes otherwise.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tmbio/admin.h"

namespace tmbadmin {

// Writes the empty value of `field` into `record`. False (and nothing
// written) when the field does not lie inside the record.
bool ClearField(const tmbio::FieldDef& field, std::span<uint8_t> record);

// Writes `text` as the value of `field` into `record`. On failure *error
// says what is wrong with the text and the record is unchanged.
bool EncodeField(const tmbio::FieldDef& field, std::string_view text, std::span<uint8_t> record,
                 std::string* error);

// The value of `field` in `record` as text: what EncodeField reads back to
// the same bytes (char trailing blanks and zero bytes dropped; a date all
// blanks or zeros is empty; a date that is not one is shown as it stands).
bool DecodeField(const tmbio::FieldDef& field, std::span<const uint8_t> record, std::string* text,
                 std::string* error);

// Lowercase hexadecimal of `bytes`, and back (false on an odd count or a
// character that is not a hex digit).
std::string HexEncode(std::span<const uint8_t> bytes);
bool HexDecode(std::string_view hex, std::string* bytes, std::string* error);

}  // namespace tmbadmin
