// The requests of load generators (tmbcli bench, bench/data_bench): one
// builder per kind of request and the judgement of its reply, so that the
// operator's figures and the project's benchmarks measure the same thing.
// Records are numbered; record n carries n in key 1, which is one segment:
// a little-endian integer of 1, 2, 4 or 8 bytes, or decimal digits.
#pragma once

#include <cstdint>
#include <string>

#include "client/client.h"

namespace tmb {

enum class LoadOp {
  kEcho,       // opcode 16 with a 64-byte payload
  kReadByKey,  // opcode 42: seek equal on the key and read, one request
  kReadNext,   // opcode 4, read mode next (first again after the end)
  kReadBlock,  // opcode 64 from the first record
  kWrite,      // opcode 35, the record committed alone (a durable write)
};

struct LoadTarget {
  int32_t file = -1;          // the open file's id
  int32_t record_size = 0;    // bytes read and written per record
  int32_t key_offset = 0;     // where key 1 sits in the record
  int32_t key_length = 4;
  bool key_is_text = false;   // decimal digits, right-aligned, zero-padded
  int32_t write_mode = 0;     // ExtWrite's first option (TMBIO_WRITE_...)
};

// How a reply came out.
enum class LoadResult {
  kOk,
  kMiss,    // a read by key found no record with that key
  kFailed,  // any other status: the request did not do its work
};

// The key bytes of record `n`.
std::string LoadKey(const LoadTarget& t, int64_t n);
// A record of t.record_size bytes holding LoadKey(n), the rest filled from
// `salt` so that successive writes of one record differ.
std::string LoadRecord(const LoadTarget& t, int64_t n, uint32_t salt);
// Puts `op`'s request for record `n` in c's buffer.
void BuildLoadRequest(Client& c, LoadOp op, const LoadTarget& t, int64_t n, uint32_t salt);
// Judges the reply now in c's buffer.
LoadResult JudgeLoadReply(Client& c, LoadOp op, const LoadTarget& t);

}  // namespace tmb
