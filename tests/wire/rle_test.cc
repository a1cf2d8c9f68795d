#include "wire/rle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace tmb {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(size_t n, uint8_t b) { return Bytes(n, b); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Bytes first, first+1, ...: pairwise different for up to 256 bytes.
Bytes Distinct(size_t n, uint8_t first) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(first + i);
  return out;
}

// Encodes into a buffer of exactly n bytes, so that AddressSanitizer sees any
// write past the room the caller grants. Returns the items, or nothing with
// *result set to the encoder's answer.
Bytes Encode(const Bytes& in, int32_t* result) {
  Bytes out(in.size());
  *result = RunLengthEncode(in.data(), static_cast<int32_t>(in.size()), out.data());
  if (*result < 0) return {};
  out.resize(static_cast<size_t>(*result));
  return out;
}

// Decodes into a buffer of exactly `capacity` bytes.
int32_t Decode(const Bytes& in, size_t capacity, Bytes* out) {
  out->assign(capacity, 0xEE);
  return RunLengthDecode(in.data(), static_cast<int32_t>(in.size()), out->data(),
                         static_cast<int32_t>(capacity));
}

// Checks that `items` is well formed encoder output: no empty literal, no
// code above 240, nothing cut short.
void ExpectWellFormed(const Bytes& items) {
  size_t i = 0;
  while (i < items.size()) {
    const uint8_t x = items[i];
    ASSERT_NE(x, 0) << "empty literal at " << i;
    ASSERT_LE(x, 240) << "invalid code at " << i;
    i += x < 128 ? 1 + x : 2;
  }
  EXPECT_EQ(i, items.size()) << "last item cut short";
}

// The full encode/decode contract for one input.
void ExpectRoundTrip(const Bytes& in) {
  int32_t size = 0;
  const Bytes items = Encode(in, &size);
  if (size == kRleDoesNotFit) return;
  ASSERT_GE(size, 0);
  ASSERT_LE(static_cast<size_t>(size), in.size());
  ExpectWellFormed(items);
  Bytes out;
  ASSERT_EQ(Decode(items, in.size(), &out), static_cast<int32_t>(in.size()));
  EXPECT_EQ(out, in);
  if (!in.empty()) {
    EXPECT_EQ(Decode(items, in.size() - 1, &out), kRleOverflow);
  }
}

struct Vector {
  const char* name;
  Bytes input;
  Bytes items;  // empty with fits == false: does not fit
  bool fits;
};

std::vector<Vector> EdgeVectors() {
  const uint8_t b = 0x41, x = 0x07, a = 0x5A;
  Bytes different_then_run = Concat(Distinct(100, 1), Repeat(50, b));
  Bytes different_then_run_items = {100};
  for (uint8_t v : Distinct(100, 1)) different_then_run_items.push_back(v);
  different_then_run_items.push_back(178);
  different_then_run_items.push_back(b);
  // The 127/71/1/1 split of 200 distinct bytes only shows when the whole
  // input fits, so a zero run in front pays for it.
  Bytes tail_split = Concat(Repeat(366, 0), Distinct(200, 1));
  Bytes tail_split_items = {240, 255, 127};
  for (uint8_t v : Distinct(127, 1)) tail_split_items.push_back(v);
  tail_split_items.push_back(71);
  for (uint8_t v : Distinct(71, 128)) tail_split_items.push_back(v);
  tail_split_items.insert(tail_split_items.end(), {1, 199, 1, 200});
  return {
      {"empty", {}, {}, true},
      {"200 zeros", Repeat(200, 0), {240, 89}, true},
      {"366 zeros", Repeat(366, 0), {240, 255}, true},
      {"367 zeros", Repeat(367, 0), {240, 255, 129, 0}, true},
      {"478 zeros", Repeat(478, 0), {240, 255, 240, 1}, true},
      {"477 zeros", Repeat(477, 0), {240, 255, 239, 0}, true},
      {"588 zeros", Repeat(588, 0), {240, 255, 240, 111}, true},
      {"733 zeros", Repeat(733, 0), {240, 255, 240, 255, 129, 0}, true},
      {"111 zeros", Repeat(111, 0), {239, 0}, true},
      {"112 zeros", Repeat(112, 0), {240, 1}, true},
      {"112 copies", Repeat(112, b), {239, b, 129, b}, true},
      {"222 copies", Repeat(222, b), {239, b, 239, b}, true},
      {"223 copies", Repeat(223, b), {239, b, 239, b, 129, b}, true},
      {"3 copies", Repeat(3, b), {131, b}, true},
      {"x a a a", {x, a, a, a}, {1, x, 131, a}, true},
      {"a a b", {a, a, b}, {}, false},
      {"one byte", {a}, {}, false},
      {"200 distinct", Distinct(200, 1), {}, false},
      {"128 distinct then 3 copies", Concat(Distinct(128, 1), Repeat(3, 0)), {}, false},
      {"100 distinct then 50 copies", different_then_run, different_then_run_items, true},
      {"zeros then 200 distinct", tail_split, tail_split_items, true},
  };
}

TEST(RunLengthTest, EdgeVectorsEncodeExactlyAndDecodeBack) {
  for (const Vector& v : EdgeVectors()) {
    SCOPED_TRACE(v.name);
    int32_t size = 0;
    const Bytes items = Encode(v.input, &size);
    if (!v.fits) {
      EXPECT_EQ(size, kRleDoesNotFit);
      continue;
    }
    ASSERT_EQ(items, v.items);
    Bytes out;
    ASSERT_EQ(Decode(items, v.input.size(), &out), static_cast<int32_t>(v.input.size()));
    EXPECT_EQ(out, v.input);
    if (!v.input.empty()) {
      EXPECT_EQ(Decode(items, v.input.size() - 1, &out), kRleOverflow);
    }
  }
}

TEST(RunLengthTest, DecoderAcceptsItemsTheEncoderNeverWrites) {
  // Empty literal, repeats of 0..2 copies, the shortest zero run.
  const Bytes items = {0, 128, 7, 129, 9, 130, 8, 240, 0, 1, 5};
  Bytes expect = {9, 8, 8};
  expect = Concat(expect, Repeat(111, 0));
  expect.push_back(5);
  Bytes out;
  ASSERT_EQ(Decode(items, expect.size(), &out), static_cast<int32_t>(expect.size()));
  EXPECT_EQ(out, expect);
}

TEST(RunLengthTest, ZeroLengthsAndNegativeCounts) {
  EXPECT_EQ(RunLengthEncode(nullptr, 0, nullptr), 0);
  EXPECT_EQ(RunLengthDecode(nullptr, 0, nullptr, 0), 0);
  const uint8_t in[3] = {5, 5, 5};
  uint8_t out[8] = {};
  EXPECT_EQ(RunLengthEncode(in, -1, out), kRleDoesNotFit);
  EXPECT_EQ(RunLengthDecode(in, -1, out, 8), kRleOverflow);
  EXPECT_EQ(RunLengthDecode(in, 3, out, -1), kRleOverflow);
  // An item that expands to nothing fits a zero capacity; one byte does not.
  const uint8_t nothing[2] = {128, 4};
  EXPECT_EQ(RunLengthDecode(nothing, 2, nullptr, 0), 0);
  const uint8_t one[2] = {1, 4};
  EXPECT_EQ(RunLengthDecode(one, 2, out, 0), kRleOverflow);
}

TEST(RunLengthTest, InvalidCodeBytesStopTheDecoder) {
  Bytes out;
  for (int code = 241; code <= 255; ++code) {
    SCOPED_TRACE(code);
    const uint8_t c = static_cast<uint8_t>(code);
    EXPECT_EQ(Decode({c}, 1000, &out), kRleOverflow);
    EXPECT_EQ(Decode({c, 0, 0, 0}, 1000, &out), kRleOverflow);
    // After valid items as well, not only at the start.
    EXPECT_EQ(Decode({2, 1, 2, 131, 9, c, 3}, 1000, &out), kRleOverflow);
  }
}

TEST(RunLengthTest, TruncatedItemsStopTheDecoder) {
  Bytes out;
  EXPECT_EQ(Decode({5, 1, 2, 3}, 100, &out), kRleOverflow);        // literal short by 2
  EXPECT_EQ(Decode({127}, 200, &out), kRleOverflow);               // literal with no bytes
  EXPECT_EQ(Decode({1, 7, 130}, 100, &out), kRleOverflow);         // repeat without its byte
  EXPECT_EQ(Decode({131, 7, 240}, 500, &out), kRleOverflow);       // zero run without k
  // Every proper prefix of a valid stream either stops or, when it ends on an
  // item boundary, yields a prefix of the full expansion.
  Bytes input = Concat(Distinct(40, 3), Repeat(500, 0));
  input = Concat(input, Repeat(9, 0xAB));
  input = Concat(input, Distinct(20, 100));
  int32_t size = 0;
  const Bytes items = Encode(input, &size);
  ASSERT_GT(size, 0);
  for (size_t cut = 0; cut < items.size(); ++cut) {
    SCOPED_TRACE(cut);
    const Bytes prefix(items.begin(), items.begin() + static_cast<ptrdiff_t>(cut));
    const int32_t got = Decode(prefix, input.size(), &out);
    if (got == kRleOverflow) continue;
    ASSERT_GE(got, 0);
    ASSERT_LT(static_cast<size_t>(got), input.size());
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + got, input.begin()));
  }
}

TEST(RunLengthTest, GarbageNeverPassesItsBuffers) {
  // Exact-size buffers let AddressSanitizer catch any stray access; without
  // it the sentinel byte past the capacity does.
  std::mt19937 rng(20222);
  for (int round = 0; round < 3000; ++round) {
    Bytes in(rng() % 64);
    for (uint8_t& v : in) v = static_cast<uint8_t>(rng());
    const size_t capacity = rng() % 600;
    Bytes out(capacity + 1, 0xC3);
    const int32_t got = RunLengthDecode(in.data(), static_cast<int32_t>(in.size()), out.data(),
                                        static_cast<int32_t>(capacity));
    ASSERT_TRUE(got == kRleOverflow || (got >= 0 && static_cast<size_t>(got) <= capacity));
    ASSERT_EQ(out[capacity], 0xC3);
  }
}

// Runs and literals of assorted lengths, zero-heavy as padded records are.
Bytes Structured(std::mt19937& rng, size_t target) {
  Bytes out;
  while (out.size() < target) {
    const unsigned kind = rng() % 4;
    const size_t len = kind == 0 ? rng() % 900 : rng() % 140;
    if (kind <= 1) {
      const uint8_t fill = rng() % 3 == 0 ? static_cast<uint8_t>(rng()) : 0;
      out.insert(out.end(), len, fill);
    } else if (kind == 2) {
      for (size_t i = 0; i < len; ++i) out.push_back(static_cast<uint8_t>(rng()));
    } else {
      // Short repeats of 1 to 4 that sit on the literal/repeat boundary.
      for (size_t i = 0; i < len; ++i) out.insert(out.end(), 1 + rng() % 4, static_cast<uint8_t>(rng() % 4));
    }
  }
  out.resize(target);
  return out;
}

TEST(RunLengthTest, RoundTripsOfStructuredAndRandomInputs) {
  std::mt19937 rng(4096);
  int fitted = 0;
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const size_t n = round < 200 ? rng() % 64 : rng() % 20000;
    const Bytes in = Structured(rng, n);
    ASSERT_NO_FATAL_FAILURE(ExpectRoundTrip(in));
    int32_t size = 0;
    Encode(in, &size);
    if (size >= 0) ++fitted;
  }
  // The structured inputs are meant to compress; the check is not vacuous.
  EXPECT_GT(fitted, 300);
  for (int round = 0; round < 200; ++round) {
    Bytes in(rng() % 5000);
    for (uint8_t& v : in) v = static_cast<uint8_t>(rng());
    int32_t size = 0;
    Encode(in, &size);
    if (in.size() >= 8) {
      EXPECT_EQ(size, kRleDoesNotFit);  // random bytes never shrink
    }
    ASSERT_NO_FATAL_FAILURE(ExpectRoundTrip(in));
  }
}

TEST(RunLengthTest, ShortInputsOverASmallAlphabet) {
  // Short inputs of few byte values land on every fits/does-not-fit border;
  // each is encoded into exactly n bytes of room.
  std::mt19937 rng(3);
  for (int round = 0; round < 20000; ++round) {
    Bytes in(rng() % 40);
    for (uint8_t& v : in) v = static_cast<uint8_t>(rng() % 3);
    ASSERT_NO_FATAL_FAILURE(ExpectRoundTrip(in)) << round;
  }
}

TEST(RunLengthTest, RunLengthsAcrossItemLimits) {
  // Every run length around the item limits, for zero and non-zero bytes,
  // with a literal on both sides so runs start and end mid-stream.
  for (uint8_t fill : {uint8_t{0}, uint8_t{0x20}}) {
    for (size_t r = 1; r <= 1200; ++r) {
      SCOPED_TRACE(r);
      Bytes in(r + 4, fill);
      in[0] = 1;
      in[1] = 2;
      in[r + 2] = 3;
      in[r + 3] = 4;
      int32_t size = 0;
      Encode(in, &size);
      if (r >= 8) {
        ASSERT_GE(size, 0);
      }
      ASSERT_NO_FATAL_FAILURE(ExpectRoundTrip(in));
    }
  }
}

}  // namespace
}  // namespace tmb
