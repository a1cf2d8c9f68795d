#include "wire/rle.h"

#include <cstddef>
#include <cstring>

namespace tmb {

namespace {

constexpr size_t kMaxLiteral = 127;   // longest literal item
constexpr size_t kMaxRepeat = 111;    // most copies in one repeat item
constexpr uint8_t kRepeatBase = 128;  // code of a repeat of 0 copies
constexpr uint8_t kZeroRun = 240;     // code of a long zero run
constexpr size_t kZeroRunBase = 111;  // zeros implied by a zero-run item

// Output cursor that refuses to pass the input size. All counts are size_t so
// that sizes near INT32_MAX cannot overflow while being compared.
class Sink {
 public:
  Sink(uint8_t* dst, size_t limit) : dst_(dst), limit_(limit) {}

  // Appends a two-byte item; false when it would pass the limit.
  bool Pair(uint8_t code, uint8_t value) {
    if (limit_ - used_ < 2) return false;
    dst_[used_] = code;
    dst_[used_ + 1] = value;
    used_ += 2;
    return true;
  }

  // Appends a literal item of `count` bytes (1..127).
  bool Literal(const uint8_t* bytes, size_t count) {
    if (limit_ - used_ < count + 1) return false;
    dst_[used_] = static_cast<uint8_t>(count);
    std::memcpy(dst_ + used_ + 1, bytes, count);
    used_ += count + 1;
    return true;
  }

  size_t used() const { return used_; }

 private:
  uint8_t* dst_;
  size_t limit_;
  size_t used_ = 0;
};

// Emits r >= 3 copies of d. Runs of zeros longer than a repeat item use the
// zero-run item; the remainder split keeps the exact item sequence the peer
// expects, short tail repeats included.
bool EmitRun(Sink& out, uint8_t d, size_t r) {
  if (r <= kMaxRepeat) return out.Pair(static_cast<uint8_t>(kRepeatBase + r), d);
  if (d == 0) {
    size_t k = r - kZeroRunBase < 255 ? r - kZeroRunBase : 255;
    if (!out.Pair(kZeroRun, static_cast<uint8_t>(k))) return false;
    size_t rem = r - kZeroRunBase - k;
    while (rem > kMaxRepeat) {
      rem -= kZeroRunBase;
      k = rem < 255 ? rem : 255;
      if (!out.Pair(kZeroRun, static_cast<uint8_t>(k))) return false;
      rem -= k;
    }
    if (rem > 0) return out.Pair(static_cast<uint8_t>(kRepeatBase + rem), 0);
    return true;
  }
  while (r > kMaxRepeat) {
    if (!out.Pair(static_cast<uint8_t>(kRepeatBase + kMaxRepeat), d)) return false;
    r -= kMaxRepeat;
  }
  return out.Pair(static_cast<uint8_t>(kRepeatBase + r), d);
}

// End of the run of byte d that covers src[from, ...): compares eight bytes
// at a time, since long zero runs are the common case in padded records.
size_t RunEnd(const uint8_t* src, size_t from, size_t n, uint8_t d) {
  const uint64_t pattern = 0x0101010101010101ULL * d;
  size_t end = from;
  while (n - end >= 8) {
    uint64_t word;
    std::memcpy(&word, src + end, 8);
    if (word != pattern) break;
    end += 8;
  }
  while (end < n && src[end] == d) ++end;
  return end;
}

// True when src[j], src[j+1] and src[j+2] exist and are equal.
inline bool TripleAt(const uint8_t* src, size_t j, size_t n) {
  return j + 2 < n && src[j] == src[j + 1] && src[j] == src[j + 2];
}

}  // namespace

int32_t RunLengthEncode(const uint8_t* src, int32_t n, uint8_t* dst) {
  if (n < 0) return kRleDoesNotFit;
  const size_t size = static_cast<size_t>(n);
  Sink out(dst, size);
  size_t i = 0;
  while (i < size) {
    if (TripleAt(src, i, size)) {
      const uint8_t d = src[i];
      const size_t end = RunEnd(src, i + 3, size, d);
      if (!EmitRun(out, d, end - i)) return kRleDoesNotFit;
      i = end;
      continue;
    }
    // Literal stretch: stops before the next triple so that the run is coded
    // as a repeat. Near the end (fewer than three bytes left) the loop takes
    // nothing and the single forced byte makes a one-byte item.
    size_t j = i;
    while (j - i < kMaxLiteral && j + 2 < size && !TripleAt(src, j, size)) ++j;
    if (j == i) j = i + 1;
    if (!out.Literal(src + i, j - i)) return kRleDoesNotFit;
    i = j;
  }
  return static_cast<int32_t>(out.used());
}

int32_t RunLengthDecode(const uint8_t* src, int32_t m, uint8_t* dst, int32_t capacity) {
  if (m < 0 || capacity < 0) return kRleOverflow;
  const size_t size = static_cast<size_t>(m);
  const size_t cap = static_cast<size_t>(capacity);
  size_t i = 0;
  size_t written = 0;
  while (i < size) {
    const uint8_t x = src[i];
    if (x < kRepeatBase) {
      const size_t count = x;
      if (size - i - 1 < count) return kRleOverflow;  // literal cut short
      if (cap - written < count) return kRleOverflow;
      if (count > 0) std::memcpy(dst + written, src + i + 1, count);
      written += count;
      i += 1 + count;
      continue;
    }
    if (x > kZeroRun) return kRleOverflow;          // codes 241..255 are never valid
    if (size - i < 2) return kRleOverflow;          // repeat without its byte
    const uint8_t b = src[i + 1];
    size_t count;
    uint8_t fill;
    if (x == kZeroRun) {
      count = kZeroRunBase + b;
      fill = 0;
    } else {
      count = x - kRepeatBase;
      fill = b;
    }
    if (cap - written < count) return kRleOverflow;
    if (count > 0) std::memset(dst + written, fill, count);
    written += count;
    i += 2;
  }
  return static_cast<int32_t>(written);
}

}  // namespace tmb
