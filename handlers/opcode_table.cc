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
#include "server/frame.h"
#include "server/session.h"
#include "server/wire.h"

namespace tmb {
namespace {

constexpr uint8_t kEchoOpcode = 16;

std::array<Handler, 256> BuildTable() {
  std::array<Handler, 256> table{};
  table[23] = RefuseRequest;
  table[41] = Hello;
  table[69] = SetCompression;
  table[17] = SetGlobalMode2;
  table[18] = SetGlobalMode1;
  table[31] = SetGlobalText7;
  table[32] = SetGlobalText6;
  table[37] = SetEnvMode;
  table[38] = AllocEnv;
  table[39] = DeAllocEnv;
  table[48] = BeginTX;
  table[49] = CommitTX;
  table[50] = RollbackTX;
  table[65] = GetEnvMode;
  table[66] = IdentifyClient;
  table[67] = Logon;
  table[68] = Logoff;
  table[70] = GetCatalog;
  table[2] = CloseFile;
  table[3] = ReadDictionary;
  table[4] = ReadRecord;
  table[5] = SeekKey;
  table[7] = RemoveRecord;
  table[10] = GetFileError;
  table[12] = GetPosition;
  table[13] = SetPosition;
  table[21] = PutRestrictInfo;
  table[24] = GetProfileString;
  table[25] = FindFirstFile;
  table[26] = FindNextFile;
  table[27] = FindClose;
  table[28] = StatFile;
  table[30] = GetKey;
  table[33] = RestrictedRead;
  table[35] = ExtWrite;
  table[40] = OpenFile;
  table[42] = ReadFirst;
  table[43] = DescribeFile;
  table[44] = DescribeIndex;
  table[51] = RawReadMode;
  table[52] = UnlockRecord;
  table[53] = KeyAdjust;
  table[54] = AddDictionary;
  table[55] = GetTables;
  table[56] = GetColumns;
  table[57] = FetchTable;
  table[58] = FetchColumn;
  table[59] = RequestHandle;
  table[60] = FreeHandle;
  table[61] = SetFileCell;
  table[62] = RestrictedReadBlock;
  table[63] = ExtReadDirect;
  table[64] = ReadBlock;
  return table;
}

const std::array<Handler, 256> kTable = BuildTable();

// The request stays in the buffer and goes back from its ninth byte on: the
// reply frame's header is written over the first eight. A request shorter
// than that has nothing to echo and gets an empty body.
void Echo(Session& s) {
  if (s.buffer.length() < kFrameHeaderSize) s.buffer.SetPosition(kFrameHeaderSize);
}

void Unknown(Session& s, uint8_t opcode) {
  std::fprintf(stderr, "Unknown TMBIO Opcode - %d\n", opcode);
  s.buffer.BeginReply();
  PutInt16(s.buffer, 0);
}

}  // namespace

Handler HandlerFor(uint8_t opcode) { return kTable[opcode]; }

void Dispatch(Session& s, uint8_t opcode) {
  if (opcode == kEchoOpcode) {
    Echo(s);
  } else if (Handler handler = kTable[opcode]) {
    handler(s);
  } else {
    Unknown(s, opcode);
  }
}

}  // namespace tmb
