// Handlers of the client's catalog functions: describe a file and its
// indexes, open and free SQL handles, run the table and column queries and
// fetch their rows as fixed-layout records.
#pragma once

namespace tmb {

struct Session;

// Opcode 43: replies the status and, for status 1, the 54-byte description.
void DescribeFile(Session& s);
// Opcode 44: replies the status and, unless it is 0, the key and segment
// entries the library filled.
void DescribeIndex(Session& s);
// Opcode 59: replies the new handle's id (0 for none) and the error word.
void RequestHandle(Session& s);
// Opcode 60: frees a handle; replies the status.
void FreeHandle(Session& s);
// Opcode 55: runs the table query; replies the status and two counts.
void GetTables(Session& s);
// Opcode 56: runs the column query; replies the status and the count.
void GetColumns(Session& s);
// Opcode 57: replies the number of table records filled and the records.
void FetchTable(Session& s);
// Opcode 58: replies the number of column records filled and the records.
void FetchColumn(Session& s);

}  // namespace tmb
