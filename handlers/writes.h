// Handlers that change a file: write a record with its key, remove a record,
// release record locks, and hand the library a restriction for later
// restricted reads.
#pragma once

namespace tmb {

struct Session;

// Opcode 35: writes a record (and key); replies the status, or TMBIO_DENIED
// without writing when the connection may not write the file
// (handlers/environment.h, MayWriteFile).
void ExtWrite(Session& s);
// Opcode 7: removes the record with a key; replies the result cut to 16
// bits, or TMBIO_DENIED as ExtWrite does.
void RemoveRecord(Session& s);
// Opcode 52: releases record locks; replies the status. No write right is
// asked: it gives up only locks of the file's own environment.
void UnlockRecord(Session& s);
// Opcode 21: installs a restriction; replies the status.
void PutRestrictInfo(Session& s);

}  // namespace tmb
