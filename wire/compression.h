// Binding of the zlib compression library, loaded at run time by file name.
// The library is optional: without it the server offers only run-length
// coding. It is loaded once and never unloaded.
#pragma once

#include <cstdint>

namespace tmb {

// Result of CompressBlock / UncompressBlock on any failure, including a
// library that is not loaded or lacks the function.
constexpr int32_t kCompressFailed = -2;

// Capability value that names zlib coding on the wire.
constexpr int32_t kZlibCapability = 100;

// Loads "libz.so.1" (or the file named by TMB_COMPRESSION_LIB) on the first
// call; later calls report the first call's outcome. Thread-safe.
bool LoadCompressionLibrary();

// zlib's compress() at the default level into dst[0, capacity). Returns the
// compressed size or kCompressFailed (also when it does not fit).
int32_t CompressBlock(uint8_t* dst, int32_t capacity, const uint8_t* src, int32_t size);

// zlib's uncompress() into dst[0, capacity). Returns the uncompressed size or
// kCompressFailed (also when the result would not fit capacity).
int32_t UncompressBlock(uint8_t* dst, int32_t capacity, const uint8_t* src, int32_t size);

// Process-wide compression capability: kZlibCapability when the library
// loaded at server start, else 0. Written once before the first connection.
int32_t CompressionCapability();
void SetCompressionCapability(int32_t value);

}  // namespace tmb
