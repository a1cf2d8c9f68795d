#include "handlers/opcode_table.h"

#include <array>
#include <cstdio>

#include "handlers/environment.h"
#include "handlers/files.h"
#include "handlers/host_files.h"
#include "handlers/logon.h"
#include "handlers/metadata.h"
#include "handlers/reads.h"
#include "handlers/session_control.h"
#include "handlers/settings.h"
#include "handlers/writes.h"
#include "wire/frame.h"
#include "server/session.h"
#include "wire/opcodes.h"
#include "wire/primitives.h"

namespace tmb {
namespace {

// The request stays in the buffer and goes back from its ninth byte on: the
// reply frame's header is written over the first eight. A request shorter
// than that has nothing to echo and gets an empty body.
void Echo(Session& s) {
  if (s.buffer.length() < kFrameHeaderSize) s.buffer.SetPosition(kFrameHeaderSize);
}

using namespace opcode;

constexpr OpcodeRow kRows[] = {
    {kCloseFile, "CloseFile", CloseFile, false},
    {kReadDictionary, "ReadDictionary", ReadDictionary, false},
    {kReadRecord, "ReadRecord", ReadRecord, false},
    {kSeekKey, "SeekKey", SeekKey, false},
    {kRemoveRecord, "RemoveRecord", RemoveRecord, false},
    {kGetFileError, "GetFileError", GetFileError, false},
    {kOpenConnection, "OpenConnection", nullptr, true},
    {kGetPosition, "GetPosition", GetPosition, false},
    {kSetPosition, "SetPosition", SetPosition, false},
    {kEcho, "Echo", Echo, false},
    {kSetGlobalMode2, "SetGlobalMode2", SetGlobalMode2, false},
    {kSetGlobalMode1, "SetGlobalMode1", SetGlobalMode1, false},
    {kPutRestrictInfo, "PutRestrictInfo", PutRestrictInfo, false},
    {kRefuseRequest, "RefuseRequest", RefuseRequest, false},
    {kGetProfileString, "GetProfileString", GetProfileString, false},
    {kFindFirstFile, "FindFirstFile", FindFirstFile, false},
    {kFindNextFile, "FindNextFile", FindNextFile, false},
    {kFindClose, "FindClose", FindClose, false},
    {kStatFile, "StatFile", StatFile, false},
    {kGetKey, "GetKey", GetKey, false},
    {kSetGlobalText7, "SetGlobalText7", SetGlobalText7, false},
    {kSetGlobalText6, "SetGlobalText6", SetGlobalText6, false},
    {kRestrictedRead, "RestrictedRead", RestrictedRead, false},
    {kExtWrite, "ExtWrite", ExtWrite, false},
    {kSetEnvMode, "SetEnvMode", SetEnvMode, false},
    {kAllocEnv, "AllocEnv", AllocEnv, true},
    {kDeAllocEnv, "DeAllocEnv", DeAllocEnv, false},
    {kOpenFile, "OpenFile", OpenFile, false},
    {kHello, "Hello", Hello, true},
    {kReadFirst, "ReadFirst", ReadFirst, false},
    {kDescribeFile, "DescribeFile", DescribeFile, false},
    {kDescribeIndex, "DescribeIndex", DescribeIndex, false},
    {kBeginTX, "BeginTX", BeginTX, false},
    {kCommitTX, "CommitTX", CommitTX, false},
    {kRollbackTX, "RollbackTX", RollbackTX, false},
    {kRawReadMode, "RawReadMode", RawReadMode, false},
    {kUnlockRecord, "UnlockRecord", UnlockRecord, false},
    {kKeyAdjust, "KeyAdjust", KeyAdjust, false},
    {kAddDictionary, "AddDictionary", AddDictionary, false},
    {kGetTables, "GetTables", GetTables, false},
    {kGetColumns, "GetColumns", GetColumns, false},
    {kFetchTable, "FetchTable", FetchTable, false},
    {kFetchColumn, "FetchColumn", FetchColumn, false},
    {kRequestHandle, "RequestHandle", RequestHandle, false},
    {kFreeHandle, "FreeHandle", FreeHandle, false},
    {kSetFileCell, "SetFileCell", SetFileCell, false},
    {kRestrictedReadBlock, "RestrictedReadBlock", RestrictedReadBlock, false},
    {kExtReadDirect, "ExtReadDirect", ExtReadDirect, false},
    {kReadBlock, "ReadBlock", ReadBlock, false},
    {kGetEnvMode, "GetEnvMode", GetEnvMode, false},
    {kIdentifyClient, "IdentifyClient", IdentifyClient, false},
    {kLogon, "Logon", Logon, false},
    {kLogoff, "Logoff", Logoff, false},
    {kSetCompression, "SetCompression", SetCompression, true},
    {kGetCatalog, "GetCatalog", GetCatalog, false},
};

// The rows by opcode, for a lookup per request that costs one index.
std::array<const OpcodeRow*, 256> IndexRows() {
  std::array<const OpcodeRow*, 256> index{};
  for (const OpcodeRow& row : kRows) index[row.opcode] = &row;
  return index;
}

const std::array<const OpcodeRow*, 256> kIndex = IndexRows();

void Unknown(Session& s, uint8_t opcode) {
  std::fprintf(stderr, "Unknown TMBIO Opcode - %d\n", opcode);
  s.buffer.BeginReply();
  PutInt16(s.buffer, 0);
}

}  // namespace

std::span<const OpcodeRow> OpcodeRows() { return kRows; }

const OpcodeRow* RowFor(uint8_t opcode) { return kIndex[opcode]; }

void Dispatch(Session& s, uint8_t opcode) {
  const OpcodeRow* row = kIndex[opcode];
  if (row != nullptr && row->handler != nullptr) {
    row->handler(s);
  } else {
    Unknown(s, opcode);
  }
}

bool OpensConnection(uint8_t opcode) {
  const OpcodeRow* row = kIndex[opcode];
  return row != nullptr && row->opens_connection;
}

}  // namespace tmb
