// The wire layouts of the catalog records that the SQL metadata handlers
// send. Texts go out as fixed-width fields (their width, then every byte of
// the field, NULs included); a blob as its length and, when that is not 0,
// the length again and the bytes.
#pragma once

#include "wire/message_buffer.h"
#include "tmbio/tmbio.h"

namespace tmb {

// 995 bytes plus 4 + length for each blob.
void PutColumnRecord(MessageBuffer& b, const TMBColumnRecord& r);
// 718 bytes plus 4 + length for each blob, plus 2056 with the extension.
void PutTableRecord(MessageBuffer& b, const TMBTableRecord& r);

}  // namespace tmb
