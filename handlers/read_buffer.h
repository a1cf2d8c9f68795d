// The read buffer of an open file: one block per file, kept in the cell that
// the data library holds for the server, shared by the restricted and first
// reads and grown only when a larger need comes. Its first four bytes hold
// the capacity of the whole block; the rest is the work area.
//
// The block comes from malloc(): the library frees it with free() when it
// closes the file on its own (a connection that ends, an environment freed).
#pragma once

#include <cstdint>

#include "tmbio/tmbio.h"

namespace tmb {

constexpr uint64_t kReadBufferHeader = 4;

// Makes the file's read buffer hold at least `need` bytes (the capacity field
// included) and returns its work area with the first need - 4 bytes zeroed.
// A need beyond a 32-bit capacity is malformed; memory that cannot be had
// abandons the request.
uint8_t* PrepareReadBuffer(TMBFile* file, uint64_t need);

// Frees the file's read buffer, if it has one, and empties the cell.
void ReleaseReadBuffer(TMBFile* file);

// The largest read buffer a file keeps between requests; a larger one is
// given back when its request ends.
constexpr uint32_t kKeptReadBuffer = 64 * 1024;

// Record bytes a read of the file can deliver into an area of `asked` bytes:
// the client's number, but never more than one byte past the file's longest
// record (its record size, mode -5, plus its variable part, mode -8). The
// byte past keeps a record of the longest size answered with its length,
// not as one that filled the area.
int32_t RecordRoom(TMBFile* file, int32_t asked);

// Gives back a grown read buffer when it goes out of scope, so that what one
// large request asked for is not held by the connection afterwards.
class ReadBufferTrim {
 public:
  explicit ReadBufferTrim(TMBFile* file) : file_(file) {}
  ReadBufferTrim(const ReadBufferTrim&) = delete;
  ReadBufferTrim& operator=(const ReadBufferTrim&) = delete;
  ~ReadBufferTrim();

 private:
  TMBFile* file_;
};

}  // namespace tmb
