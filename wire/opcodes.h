// Every request opcode by name: the first byte of a request body. The server's
// opcode table and the client library both name opcodes only through here.
#pragma once

#include <cstdint>

namespace tmb::opcode {

inline constexpr uint8_t kCloseFile = 2;
inline constexpr uint8_t kReadDictionary = 3;
inline constexpr uint8_t kReadRecord = 4;
inline constexpr uint8_t kSeekKey = 5;
inline constexpr uint8_t kRemoveRecord = 7;
inline constexpr uint8_t kGetFileError = 10;
// Opens the connection like Hello, but no handler serves it: it is answered
// as an unknown opcode.
inline constexpr uint8_t kOpenConnection = 11;
inline constexpr uint8_t kGetPosition = 12;
inline constexpr uint8_t kSetPosition = 13;
// No handler runs: the reply is the request body from its ninth byte on.
inline constexpr uint8_t kEcho = 16;
inline constexpr uint8_t kSetGlobalMode2 = 17;
inline constexpr uint8_t kSetGlobalMode1 = 18;
inline constexpr uint8_t kPutRestrictInfo = 21;
inline constexpr uint8_t kRefuseRequest = 23;
inline constexpr uint8_t kGetProfileString = 24;
inline constexpr uint8_t kFindFirstFile = 25;
inline constexpr uint8_t kFindNextFile = 26;
inline constexpr uint8_t kFindClose = 27;
inline constexpr uint8_t kStatFile = 28;
inline constexpr uint8_t kGetKey = 30;
inline constexpr uint8_t kSetGlobalText7 = 31;
inline constexpr uint8_t kSetGlobalText6 = 32;
inline constexpr uint8_t kRestrictedRead = 33;
inline constexpr uint8_t kExtWrite = 35;
inline constexpr uint8_t kSetEnvMode = 37;
inline constexpr uint8_t kAllocEnv = 38;
inline constexpr uint8_t kDeAllocEnv = 39;
inline constexpr uint8_t kOpenFile = 40;
inline constexpr uint8_t kHello = 41;
inline constexpr uint8_t kReadFirst = 42;
inline constexpr uint8_t kDescribeFile = 43;
inline constexpr uint8_t kDescribeIndex = 44;
inline constexpr uint8_t kBeginTX = 48;
inline constexpr uint8_t kCommitTX = 49;
inline constexpr uint8_t kRollbackTX = 50;
inline constexpr uint8_t kRawReadMode = 51;
inline constexpr uint8_t kUnlockRecord = 52;
inline constexpr uint8_t kKeyAdjust = 53;
inline constexpr uint8_t kAddDictionary = 54;
inline constexpr uint8_t kGetTables = 55;
inline constexpr uint8_t kGetColumns = 56;
inline constexpr uint8_t kFetchTable = 57;
inline constexpr uint8_t kFetchColumn = 58;
inline constexpr uint8_t kRequestHandle = 59;
inline constexpr uint8_t kFreeHandle = 60;
inline constexpr uint8_t kSetFileCell = 61;
inline constexpr uint8_t kRestrictedReadBlock = 62;
inline constexpr uint8_t kExtReadDirect = 63;
inline constexpr uint8_t kReadBlock = 64;
inline constexpr uint8_t kGetEnvMode = 65;
inline constexpr uint8_t kIdentifyClient = 66;
inline constexpr uint8_t kLogon = 67;
inline constexpr uint8_t kLogoff = 68;
inline constexpr uint8_t kSetCompression = 69;
inline constexpr uint8_t kGetCatalog = 70;
// What a request refused by the acceptance rule is dispatched as (no handler
// serves it, so it is answered as an unknown opcode).
inline constexpr uint8_t kRefused = 99;

}  // namespace tmb::opcode
