// Run-length codec: decoding arbitrary input stays inside its buffers, and
// whatever the encoder produces decodes back to the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/rle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  const int32_t n = static_cast<int32_t>(size);
  // The capacity comes from the input too, so short and exact outputs occur.
  const int32_t capacity = size > 0 ? data[0] * 16 : 0;
  std::vector<uint8_t> out(static_cast<size_t>(capacity));
  const int32_t decoded = tmb::RunLengthDecode(data, n, out.data(), capacity);
  if (decoded != tmb::kRleOverflow && (decoded < 0 || decoded > capacity)) std::abort();

  std::vector<uint8_t> coded(size);
  const int32_t encoded = tmb::RunLengthEncode(data, n, coded.data());
  if (encoded == tmb::kRleDoesNotFit) return 0;
  if (encoded < 0 || encoded > n) std::abort();
  std::vector<uint8_t> back(size);
  if (tmb::RunLengthDecode(coded.data(), encoded, back.data(), n) != n) std::abort();
  if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();
  return 0;
}
