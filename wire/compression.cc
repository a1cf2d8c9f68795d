#include "wire/compression.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace tmb {

namespace {

// zlib's compress() and uncompress(). Their length type is uLong, which is
// unsigned long here (64 bits on LP64): the length slot handed to zlib must
// be that wide, or zlib would write past it.
using ZlibCodeFn = int (*)(unsigned char* dest, unsigned long* dest_len,
                           const unsigned char* source, unsigned long source_len);

constexpr char kDefaultLibrary[] = "libz.so.1";
constexpr int kZOk = 0;

std::once_flag load_once;
void* library = nullptr;  // written once inside load_once, read after it

std::atomic<ZlibCodeFn> compress_slot{nullptr};
std::atomic<ZlibCodeFn> uncompress_slot{nullptr};

std::atomic<int32_t> capability{0};

void LoadOnce() {
  // A test or an administrator may name another file; an empty value means
  // the default, as if it were unset.
  const char* name = std::getenv("TMB_COMPRESSION_LIB");
  if (name == nullptr || *name == '\0') name = kDefaultLibrary;
  // RTLD_LOCAL keeps zlib's symbols out of the global namespace so that a
  // differently built zlib pulled in by another library cannot collide.
  library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

// Resolves a function on first use. Racing threads find the same address, so
// a plain atomic store is enough; a missing symbol leaves the slot empty and
// the call fails.
ZlibCodeFn Resolve(std::atomic<ZlibCodeFn>& slot, const char* symbol) {
  ZlibCodeFn fn = slot.load(std::memory_order_acquire);
  if (fn != nullptr) return fn;
  fn = reinterpret_cast<ZlibCodeFn>(dlsym(library, symbol));
  if (fn != nullptr) slot.store(fn, std::memory_order_release);
  return fn;
}

int32_t Code(std::atomic<ZlibCodeFn>& slot, const char* symbol, uint8_t* dst, int32_t capacity,
             const uint8_t* src, int32_t size) {
  if (capacity < 0 || size < 0) return kCompressFailed;
  if (!LoadCompressionLibrary()) return kCompressFailed;
  ZlibCodeFn fn = Resolve(slot, symbol);
  if (fn == nullptr) return kCompressFailed;
  unsigned long dst_len = static_cast<unsigned long>(capacity);
  if (fn(dst, &dst_len, src, static_cast<unsigned long>(size)) != kZOk) return kCompressFailed;
  // zlib never reports more than the capacity it was given; checked anyway
  // because the caller trusts the result as a length into its buffer.
  if (dst_len > static_cast<unsigned long>(capacity)) return kCompressFailed;
  return static_cast<int32_t>(dst_len);
}

}  // namespace

bool LoadCompressionLibrary() {
  std::call_once(load_once, LoadOnce);
  return library != nullptr;
}

int32_t CompressBlock(uint8_t* dst, int32_t capacity, const uint8_t* src, int32_t size) {
  return Code(compress_slot, "compress", dst, capacity, src, size);
}

int32_t UncompressBlock(uint8_t* dst, int32_t capacity, const uint8_t* src, int32_t size) {
  return Code(uncompress_slot, "uncompress", dst, capacity, src, size);
}

int32_t CompressionCapability() { return capability.load(std::memory_order_acquire); }

void SetCompressionCapability(int32_t value) {
  capability.store(value, std::memory_order_release);
}

}  // namespace tmb
