// Handlers that read records and keys from an open file, one at a time or in
// blocks, and move or report the file's position.
#pragma once

namespace tmb {

struct Session;

// Opcode 4: one record; replies the status and, when positive, that many bytes.
void ReadRecord(Session& s);
// Opcode 42: positions by an optional key and reads the first record that
// passes the file's restriction and the client's bound.
void ReadFirst(Session& s);
// Opcode 33: reads the next record that passes the file's restriction.
void RestrictedRead(Session& s);
// Opcode 62: up to `count` restricted reads packed into one block.
void RestrictedReadBlock(Session& s);
// Opcode 64: positions by seek mode and reads up to the file's block count of
// records into fixed-size slots.
void ReadBlock(Session& s);
// Opcode 63: reads a record by number, bypassing the keys.
void ExtReadDirect(Session& s);
// Opcode 5: positions by key.
void SeekKey(Session& s);
// Opcode 12: replies the current record's position.
void GetPosition(Session& s);
// Opcode 13: makes a position the current record.
void SetPosition(Session& s);
// Opcode 30: replies the length of a key of the current record and, for a
// size of 1 to 241, its bytes.
void GetKey(Session& s);
// Opcode 53: changes the current key, optionally positioning by a key value.
void KeyAdjust(Session& s);
// Opcode 51: turns reading in position order on or off.
void RawReadMode(Session& s);

}  // namespace tmb
