// Handlers that change a file: write a record with its key, remove a record,
// release record locks, and hand the library a restriction for later
// restricted reads.
#pragma once

namespace tmb {

struct Session;

// Opcode 35: writes a record (and key); replies the status.
void ExtWrite(Session& s);
// Opcode 7: removes the record with a key; replies the result cut to 16 bits.
void RemoveRecord(Session& s);
// Opcode 52: releases record locks; replies the status.
void UnlockRecord(Session& s);
// Opcode 21: installs a restriction; replies the status.
void PutRestrictInfo(Session& s);

}  // namespace tmb
