// Throughput of the run-length codec on the bodies it meets: long zero runs,
// incompressible data (the encoder's give-up path) and blocks of fixed-length
// records as record reads return them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "wire/rle.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum Kind { kZeros, kRandom, kRecords };

void PutText(uint8_t* field, size_t width, const char* text, uint8_t pad) {
  const size_t n = std::strlen(text) < width ? std::strlen(text) : width;
  std::memcpy(field, text, n);
  std::memset(field + n, pad, width - n);
}

void PutBig32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// 128-byte customer records: blank-padded names, zero-padded address text,
// small numbers in 32-bit fields, text dates and a zeroed reserve.
Bytes Records(size_t size) {
  static const char* kNames[] = {"SMITH", "MUELLER", "O'BRIEN", "GARCIA LOPEZ", "NGUYEN"};
  static const char* kCities[] = {"LONDON", "HAMBURG", "DUBLIN", "MADRID", "HANOI"};
  std::mt19937 rng(128);
  Bytes out(size);
  for (size_t at = 0; at + 128 <= size; at += 128) {
    uint8_t* r = out.data() + at;
    const uint32_t id = static_cast<uint32_t>(at / 128);
    PutBig32(r, id + 1000);                                    // 0..3 id
    PutText(r + 4, 30, kNames[rng() % 5], ' ');                // 4..33 name
    PutText(r + 34, 24, kCities[rng() % 5], 0);                // 34..57 city
    char date[16];
    std::snprintf(date, sizeof date, "2024%02u%02u", static_cast<unsigned>(1 + rng() % 12),
                  static_cast<unsigned>(1 + rng() % 28));
    PutText(r + 58, 8, date, ' ');                             // 58..65 date
    PutBig32(r + 66, rng() % 500);                             // 66..69 quantity
    PutBig32(r + 70, rng() % 100000);                          // 70..73 amount in cents
    r[74] = rng() % 4 == 0 ? 'T' : 'F';                        // 74 flag
    std::memset(r + 75, 0, 53);                                // 75..127 reserve
  }
  return out;
}

Bytes Input(Kind kind, size_t size) {
  if (kind == kZeros) return Bytes(size, 0);
  if (kind == kRecords) return Records(size);
  std::mt19937 rng(7);
  Bytes out(size);
  for (uint8_t& v : out) v = static_cast<uint8_t>(rng());
  return out;
}

void BM_Encode(benchmark::State& state, Kind kind) {
  const Bytes in = Input(kind, static_cast<size_t>(state.range(0)));
  Bytes out(in.size());
  int32_t size = 0;
  for (auto _ : state) {
    size = tmb::RunLengthEncode(in.data(), static_cast<int32_t>(in.size()), out.data());
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  state.counters["ratio"] = size < 0 ? 1.0 : static_cast<double>(size) / static_cast<double>(in.size());
}

// Decodes the encoder's output; random data does not encode, so its case is
// a stream of 127-byte literal items, which is what a peer that codes
// regardless would send.
void BM_Decode(benchmark::State& state, Kind kind) {
  const Bytes plain = Input(kind, static_cast<size_t>(state.range(0)));
  Bytes items(plain.size());
  int32_t m = tmb::RunLengthEncode(plain.data(), static_cast<int32_t>(plain.size()), items.data());
  if (m < 0) {
    items.clear();
    for (size_t i = 0; i < plain.size(); i += 127) {
      const size_t n = plain.size() - i < 127 ? plain.size() - i : 127;
      items.push_back(static_cast<uint8_t>(n));
      items.insert(items.end(), plain.begin() + static_cast<ptrdiff_t>(i),
                   plain.begin() + static_cast<ptrdiff_t>(i + n));
    }
    m = static_cast<int32_t>(items.size());
  }
  Bytes out(plain.size());
  for (auto _ : state) {
    const int32_t n = tmb::RunLengthDecode(items.data(), m, out.data(), static_cast<int32_t>(out.size()));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  if (out != plain) state.SkipWithError("decoded bytes differ");
  // Bytes produced, so that encode and decode figures compare directly.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK_CAPTURE(BM_Encode, zeros, kZeros)->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(BM_Encode, random, kRandom)->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(BM_Encode, records, kRecords)->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(BM_Decode, zeros, kZeros)->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(BM_Decode, random, kRandom)->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(BM_Decode, records, kRecords)->Arg(4096)->Arg(65536);

}  // namespace
