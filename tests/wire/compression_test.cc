#include "wire/compression.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tmb {
namespace {

using Bytes = std::vector<uint8_t>;

// Text-like data that zlib shrinks well.
Bytes Compressible(size_t n) {
  const std::string words = "CUSTOMER 000123 SMITH      LONDON     2024-05-17 ";
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(words[i % words.size()]);
  return out;
}

Bytes Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (uint8_t& v : out) v = static_cast<uint8_t>(rng());
  return out;
}

int32_t Compress(const Bytes& in, size_t capacity, Bytes* out) {
  out->assign(capacity, 0);
  return CompressBlock(out->data(), static_cast<int32_t>(capacity), in.data(),
                       static_cast<int32_t>(in.size()));
}

int32_t Uncompress(const Bytes& in, size_t capacity, Bytes* out) {
  out->assign(capacity, 0);
  return UncompressBlock(out->data(), static_cast<int32_t>(capacity), in.data(),
                         static_cast<int32_t>(in.size()));
}

TEST(CompressionTest, RoundTripThroughZlib) {
  ASSERT_TRUE(LoadCompressionLibrary());
  EXPECT_TRUE(LoadCompressionLibrary());  // later calls give the same answer
  for (size_t n : {64u, 4096u, 200000u}) {
    SCOPED_TRACE(n);
    const Bytes in = Compressible(n);
    Bytes packed;
    // The frame writer grants exactly the input size.
    const int32_t size = Compress(in, n, &packed);
    ASSERT_GT(size, 0);
    ASSERT_LT(static_cast<size_t>(size), n);
    packed.resize(static_cast<size_t>(size));
    Bytes out;
    ASSERT_EQ(Uncompress(packed, n, &out), static_cast<int32_t>(n));
    EXPECT_EQ(out, in);
    // One byte short of the real size must fail, not truncate.
    EXPECT_EQ(Uncompress(packed, n - 1, &out), kCompressFailed);
  }
}

TEST(CompressionTest, FailuresGiveMinusTwo) {
  ASSERT_TRUE(LoadCompressionLibrary());
  Bytes out;
  const Bytes noise = Random(1000, 7);
  EXPECT_EQ(Compress(noise, noise.size(), &out), kCompressFailed);  // does not shrink
  EXPECT_EQ(Uncompress(noise, 100000, &out), kCompressFailed);      // not a zlib stream
  EXPECT_EQ(Uncompress(Bytes{}, 100, &out), kCompressFailed);
  // A valid stream cut short is also refused.
  Bytes packed;
  const Bytes in = Compressible(5000);
  const int32_t size = Compress(in, in.size(), &packed);
  ASSERT_GT(size, 10);
  packed.resize(static_cast<size_t>(size) - 5);
  EXPECT_EQ(Uncompress(packed, in.size(), &out), kCompressFailed);
  EXPECT_EQ(CompressBlock(out.data(), -1, in.data(), 10), kCompressFailed);
  EXPECT_EQ(UncompressBlock(out.data(), 10, in.data(), -1), kCompressFailed);
}

TEST(CompressionTest, ConcurrentFirstUse) {
  // Threads race to fill the entry-point slots; every call must still work.
  const Bytes in = Compressible(30000);
  std::vector<std::thread> threads;
  std::vector<int> ok(8, 0);
  for (size_t t = 0; t < ok.size(); ++t) {
    threads.emplace_back([&, t] {
      Bytes packed, out;
      for (int i = 0; i < 20; ++i) {
        const int32_t size = Compress(in, in.size(), &packed);
        if (size <= 0) return;
        packed.resize(static_cast<size_t>(size));
        if (Uncompress(packed, in.size(), &out) != static_cast<int32_t>(in.size())) return;
        if (out != in) return;
      }
      ok[t] = 1;
    });
  }
  for (std::thread& th : threads) th.join();
  for (size_t t = 0; t < ok.size(); ++t) EXPECT_EQ(ok[t], 1) << "thread " << t;
}

// The library is loaded once per process, so the cases with another library
// file run in a freshly started copy of this program.
class CompressionLibraryFileTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Exit code 0 when every call failed as it should.
int ProbeFailingLibrary(bool expect_loaded) {
  if (LoadCompressionLibrary() != expect_loaded) return 1;
  if (LoadCompressionLibrary() != expect_loaded) return 2;
  const Bytes in = Compressible(4000);
  Bytes out;
  if (Compress(in, in.size(), &out) != kCompressFailed) return 3;
  if (Uncompress(in, in.size(), &out) != kCompressFailed) return 4;
  return 0;
}

TEST_F(CompressionLibraryFileTest, MissingLibraryFailsEveryCall) {
  EXPECT_EXIT(
      {
        setenv("TMB_COMPRESSION_LIB", "/nonexistent/libz-missing.so", 1);
        std::_Exit(ProbeFailingLibrary(false));
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(CompressionLibraryFileTest, LibraryWithoutTheFunctionsFailsEveryCall) {
  // libm loads but has neither compress nor uncompress.
  EXPECT_EXIT(
      {
        setenv("TMB_COMPRESSION_LIB", "libm.so.6", 1);
        std::_Exit(ProbeFailingLibrary(true));
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(CompressionLibraryFileTest, EmptySettingMeansTheDefaultLibrary) {
  EXPECT_EXIT(
      {
        setenv("TMB_COMPRESSION_LIB", "", 1);
        const Bytes in = Compressible(4000);
        Bytes packed;
        std::_Exit(LoadCompressionLibrary() && Compress(in, in.size(), &packed) > 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tmb
