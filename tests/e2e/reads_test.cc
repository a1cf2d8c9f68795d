// End-to-end: record reads, block reads and positioning on real data files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/data_fixture.h"
#include "tests/e2e/requests.h"

namespace tmb::test {
namespace {

constexpr uint8_t kReadRecord = 4;
constexpr uint8_t kGetKey = 30;
constexpr uint8_t kRestrictedRead = 33;
constexpr uint8_t kReadFirst = 42;
constexpr uint8_t kRestrictedReadBlock = 62;
constexpr uint8_t kExtReadDirect = 63;
constexpr uint8_t kReadBlock = 64;

constexpr int16_t kReadFirstMode = 4;
constexpr int16_t kReadNextMode = 2;
constexpr int32_t kSeekFirst = 6;

const Bytes kEnd = {0xFF, 0xFF, 0xFF, 0xFF};  // -1

// id (key 1, signed), name (key 2, text with duplicates), body: 64 bytes.
Schema Records() {
  Schema s;
  s.record_length = 64;
  s.Field("id", "int", 0, 4).Field("name", "char", 4, 20).Field("body", "binary", 24, 40);
  s.Key("by_id", "id", 0x0800);
  s.Key("by_name", "name", 0x0000, false);
  return s;
}

std::string Record(int32_t id, const std::string& name) {
  std::string body(40, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(id * 31 + i);
  return Int32Le(id) + Padded(name, 20) + body;
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes I32(int32_t v) {
  Bytes b(4);
  StoreBigEndian32(b.data(), static_cast<uint32_t>(v));
  return b;
}

class ReadsTest : public DataServerTest {
 protected:
  // A connection with "recs.tmb" open and records 1..n inserted.
  int32_t OpenWith(DataConnection& c, int n) {
    CreateFile("recs.tmb", Records());
    const int32_t file = c.Open("recs.tmb");
    for (int i = 1; i <= n; ++i) positions_.push_back(c.Insert(file, Record(i, Name(i))));
    return file;
  }
  static std::string Name(int i) { return "name" + std::to_string(1000 + i); }

  static Bytes RestrictedBlock(DataConnection& c, int32_t file, int32_t count, int32_t size,
                               int16_t mode, bool* closed = nullptr) {
    return c.Raw(kRestrictedReadBlock, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, count);
      PutInt32(b, size);
      PutByte(b, 0);  // no bound
      PutInt16(b, mode);
      PutInt32(b, 0);
    }, closed);
  }
  static Bytes Restricted(DataConnection& c, int32_t file, int32_t size, int16_t mode) {
    return c.Raw(kRestrictedRead, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, size);
      PutInt16(b, mode);
      PutInt32(b, 0);
    });
  }

  std::vector<int32_t> positions_;
};

TEST_F(ReadsTest, ReadBlockSlotsWithAStopInTheMiddle) {
  auto c = Connect();
  const int32_t file = OpenWith(*c, 3);
  const Bytes reply = c->Raw(kReadBlock, [&](MessageBuffer& b) {
    PutInt32(b, file);
    PutInt32(b, kSeekFirst);
  });
  // Slot: record 64 + key 4 + 3; 256 slots; the third read of 256 ends it.
  const int32_t slot = 64 + 4 + 3;
  const size_t block = static_cast<size_t>(slot) * 256;
  ASSERT_EQ(reply.size(), 4 + 4 + block + 4);
  EXPECT_EQ(Int32At(reply, 0), slot);
  EXPECT_EQ(Int32At(reply, 4), static_cast<int32_t>(block));
  const size_t used = 3 * (1 + 4 + 2 + 64);
  EXPECT_EQ(Int32At(reply, 8 + block), static_cast<int32_t>(used));
  Bytes expected;
  for (int i = 1; i <= 3; ++i) {
    expected = Cat({expected, {4}, B(Int32Le(i)), {0, 64}, B(Record(i, Name(i)))});
  }
  EXPECT_EQ(Bytes(reply.begin() + 8, reply.begin() + 8 + used), expected);
  // The rest of the block stays zero.
  EXPECT_EQ(Bytes(reply.begin() + 8 + used, reply.begin() + 8 + block), Bytes(block - used, 0));
}

TEST_F(ReadsTest, ReadBlockRefusedForVariableRecordsAndForNoFile) {
  Schema s = Records();
  s.variable_length = 100;
  CreateFile("var.tmb", s);
  auto c = Connect();
  const int32_t file = c->Open("var.tmb");
  EXPECT_EQ(c->Raw(kReadBlock, [&](MessageBuffer& b) {
    PutInt32(b, file);
    PutInt32(b, kSeekFirst);
  }), kEnd);
  EXPECT_EQ(c->Raw(kReadBlock, [&](MessageBuffer& b) {
    PutInt32(b, 987654);
    PutInt32(b, kSeekFirst);
  }), kEnd);
}

TEST_F(ReadsTest, RestrictedBlockStopsAfterTheEndingStatus) {
  auto c = Connect();
  const int32_t file = OpenWith(*c, 1);
  // Count 3, the second read gives -1: one entry, then the 4-byte -1.
  const Bytes reply = RestrictedBlock(*c, file, 3, 64, kReadFirstMode);
  const Bytes block = Cat({I32(64), I32(positions_[0]), B(Record(1, Name(1))), {4},
                           B(Int32Le(1)), kEnd});
  ASSERT_EQ(block.size(), 4u + 4u + 64u + 1u + 4u + 4u);
  EXPECT_EQ(reply, Cat({I32(static_cast<int32_t>(block.size())), I32(static_cast<int32_t>(block.size())), block}));

  // Count 0: i32 0 and nothing else.
  EXPECT_EQ(RestrictedBlock(*c, file, 0, 64, kReadFirstMode), (Bytes{0, 0, 0, 0}));
  // A record longer than the size: -2 and exactly `size` record bytes.
  const Bytes cut = RestrictedBlock(*c, file, 1, 10, kReadFirstMode);
  EXPECT_EQ(cut, Cat({I32(4 + 4 + 10 + 1 + 4), I32(4 + 4 + 10 + 1 + 4), I32(-2),
                      I32(positions_[0]), B(Record(1, Name(1)).substr(0, 10)), {4},
                      B(Int32Le(1))}));
  // No file: the first read ends the block as -1.
  EXPECT_EQ(RestrictedBlock(*c, 987654, 2, 64, kReadFirstMode), Cat({I32(4), I32(4), kEnd}));
}

TEST_F(ReadsTest, RestrictedBlockOfManyLargeEntriesStaysIntact) {
  // Entries of 9 + 64 + 4 bytes each, far beyond 16 + key room per record:
  // a block sized by that rule would run into its own read area.
  auto c = Connect();
  const int32_t file = OpenWith(*c, 120);
  const Bytes reply = RestrictedBlock(*c, file, 120, 64, kReadFirstMode);
  const size_t entry = 4 + 4 + 64 + 1 + 4;
  ASSERT_EQ(reply.size(), 8 + 120 * entry);
  EXPECT_EQ(Int32At(reply, 0), static_cast<int32_t>(120 * entry));
  for (int i = 0; i < 120; ++i) {
    SCOPED_TRACE(i);
    const size_t at = 8 + i * entry;
    EXPECT_EQ(Int32At(reply, at), 64);
    EXPECT_EQ(Int32At(reply, at + 4), positions_[i]);
    EXPECT_EQ(Bytes(reply.begin() + at + 8, reply.begin() + at + 72), B(Record(i + 1, Name(i + 1))));
    EXPECT_EQ(reply[at + 72], 4);
  }
  // With one record more than asked for, the block holds exactly `count`.
  const Bytes fewer = RestrictedBlock(*c, file, 119, 64, kReadFirstMode);
  EXPECT_EQ(Int32At(fewer, 0), static_cast<int32_t>(119 * entry));
}

TEST_F(ReadsTest, RestrictedBlockCopiesNothingAfterAnError) {
  auto c = Connect();
  const int32_t file = OpenWith(*c, 2);
  // A read mode the library refuses gives a status below -2: the block ends
  // with it and carries no record.
  const Bytes reply = RestrictedBlock(*c, file, 3, 64, 99);
  ASSERT_EQ(reply.size(), 12u);
  EXPECT_EQ(Int32At(reply, 0), 4);
  EXPECT_LT(Int32At(reply, 8), -2);
  EXPECT_NE(Int32At(reply, 8), -4);
  // A negative size has no buffer: the connection ends.
  bool closed = false;
  RestrictedBlock(*c, file, 3, -1, kReadFirstMode, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(ReadsTest, RestrictedReadSendsTheWholeSizeAndReusesItsBuffer) {
  Schema s = Records();
  s.variable_length = 200;
  CreateFile("var.tmb", s);
  auto c = Connect();
  const int32_t file = c->Open("var.tmb");
  const std::string big = Record(1, "big") + std::string(150, 'B');  // 214 bytes
  const std::string small = Record(2, "small");                      // 64 bytes
  const int32_t p1 = c->Insert(file, big);
  const int32_t p2 = c->Insert(file, small);
  const auto tail = [](int32_t id, int32_t position) {
    return Cat({{4}, I32(4), B(Int32Le(id)), I32(position)});
  };

  // Small first: the record fills the 50 bytes (-2).
  EXPECT_EQ(Restricted(*c, file, 50, kReadFirstMode),
            Cat({I32(-2), I32(50), B(big.substr(0, 50)), tail(1, p1)}));
  // A larger size grows the buffer; status 214, all 300 bytes sent.
  EXPECT_EQ(Restricted(*c, file, 300, 1),
            Cat({I32(214), I32(300), B(big), Bytes(86, 0), tail(1, p1)}));
  // A smaller size reuses it: the part sent is zeroed again, so nothing of
  // the large record shows behind the small one.
  EXPECT_EQ(Restricted(*c, file, 250, kReadNextMode),
            Cat({I32(64), I32(250), B(small), Bytes(186, 0), tail(2, p2)}));
  // Size 0 sends no record bytes at all (the library reads without copying).
  EXPECT_EQ(Restricted(*c, file, 0, 1), Cat({I32(0), tail(2, p2)}));
  // The end: -1 alone.
  EXPECT_EQ(Restricted(*c, file, 64, kReadNextMode), kEnd);
  // No such file: -1 alone, as the library answers.
  EXPECT_EQ(Restricted(*c, 987654, 64, kReadFirstMode), kEnd);
}

// A read buffer is sized by what the file can deliver, not by the size the
// client names, and a grown one is given back when its request is done: one
// connection reading with huge sizes on many files keeps nothing of them.
// Measures what the server holds, so an instrumented server gives freed
// blocks back at once instead of keeping them aside to catch late uses.
class ReadMemoryTest : public ReadsTest {
 protected:
  void SetUp() override {
    const char* asan = std::getenv("ASAN_OPTIONS");
    server_.env = {std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                   ":quarantine_size_mb=0"};
    ReadsTest::SetUp();
  }
};

TEST_F(ReadMemoryTest, ReadBuffersFollowTheFileAndAreNotKeptOnceGrown) {
  auto c = Connect();
  const int32_t first = OpenWith(*c, 1);
  std::vector<int32_t> files = {first};
  for (int i = 1; i < 8; ++i) files.push_back(c->Open("recs.tmb"));
  const long before = ResidentKiB(server_.pid());
  ASSERT_GT(before, 0);

  // 4 MiB asked of a file of 64-byte records: the reply still carries the
  // size named, the record then zeros. Each read is done twice, so that a
  // buffer kept from the first would be written through by the second.
  constexpr int32_t kHuge = 4 << 20;
  const auto expect_record = [&](const Bytes& reply) {
    const Bytes record = B(Record(1, Name(1)));
    ASSERT_EQ(reply.size(), 8u + kHuge + 1 + 4 + 4 + 4);
    EXPECT_EQ(Int32At(reply, 0), 64);
    EXPECT_EQ(Int32At(reply, 4), kHuge);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), reply.begin() + 8));
    EXPECT_EQ(reply[8 + 64], 0);
    EXPECT_EQ(reply[8 + kHuge - 1], 0);
    EXPECT_EQ(Int32At(reply, reply.size() - 4), positions_[0]);
  };
  for (int i = 0; i < 2; ++i) {
    for (int pass = 0; pass < 2; ++pass) expect_record(Restricted(*c, files[i], kHuge, 1));
  }
  for (int i = 2; i < 4; ++i) {
    for (int pass = 0; pass < 2; ++pass) {
      expect_record(c->Raw(kReadFirst, [&](MessageBuffer& b) {
        PutInt32(b, files[i]);
        PutInt32(b, kHuge);
        PutInt32(b, 0);
        PutInt16(b, kSeekFirst);
        PutInt16(b, 0);
      }));
    }
  }
  // A block of 200000 entries has room for over 16 MB; one record fills one
  // entry.
  for (int i = 4; i < 8; ++i) {
    for (int pass = 0; pass < 2; ++pass) {
      const Bytes block = RestrictedBlock(*c, files[i], 200000, 64, kReadFirstMode);
      ASSERT_GE(block.size(), 8u + 8 + 64);
      EXPECT_EQ(Int32At(block, 8), 64);
    }
  }

  // Kept, the buffers would hold about 100 MiB; the slack covers what the
  // allocator keeps for itself.
  long grown = 0;
  for (int i = 0; i < 250; ++i) {
    grown = ResidentKiB(server_.pid()) - before;
    if (grown < 32 * 1024) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LT(grown, 32 * 1024) << "KiB still held after the reads";

  // The buffers still serve ordinary reads.
  EXPECT_EQ(Restricted(*c, files[0], 64, 1),
            Cat({I32(64), I32(64), B(Record(1, Name(1))), {4}, I32(4), B(Int32Le(1)),
                 I32(positions_[0])}));
}

TEST_F(ReadsTest, ReadFirstBoundsAndExtraKey) {
  auto c = Connect();
  const int32_t file = OpenWith(*c, 3);
  const auto read_first = [&](int16_t mode, int16_t bound_length, const Bytes& bound,
                              const std::string& extra, bool* closed) {
    return c->Raw(kReadFirst, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, 64);
      PutInt32(b, static_cast<int32_t>(extra.size()));
      PutInt16(b, mode);
      PutInt16(b, bound_length);
      if (!bound.empty()) PutBlock(b, bound.data(), static_cast<uint32_t>(bound.size()));
      if (!extra.empty()) PutBlock(b, extra.data(), static_cast<uint32_t>(extra.size()));
    }, closed);
  };
  bool closed = false;
  // Seek equal on key 2 via the extra bytes; no bound.
  const Bytes found = read_first(1, 0, {}, Int32Le(2), &closed);
  EXPECT_EQ(found, Cat({I32(64), I32(64), B(Record(2, Name(2))), {4}, I32(4), B(Int32Le(2)),
                        I32(positions_[1])}));
  // A bound the first record already passes stops the read: -4 alone.
  EXPECT_EQ(read_first(6, 4, B(Int32Le(0)), "", &closed), (Bytes{0xFF, 0xFF, 0xFF, 0xFC}));
  // Announced 300: no bound follows (the low byte, 44, goes to the library);
  // the request still parses.
  const Bytes no_bound = read_first(6, 300, {}, "", &closed);
  EXPECT_FALSE(closed);
  ASSERT_GE(no_bound.size(), 4u);
  // 240 bound bytes fit; a 241-byte bound does not and ends the connection.
  read_first(6, 240, Bytes(240, 0xFF), "", &closed);
  EXPECT_FALSE(closed);
  read_first(6, 240, Bytes(241, 0xFF), "", &closed);
  EXPECT_TRUE(closed);
}

TEST_F(ReadsTest, SingleReadsKeysAndDirectReads) {
  auto c = Connect();
  const int32_t file = OpenWith(*c, 3);
  int32_t status = 0;
  std::string error, record;
  ASSERT_TRUE(CallSeekKey(c->client(), file, 1, Int32Le(2), &status, &error)) << error;
  EXPECT_EQ(status, 1);
  ASSERT_TRUE(CallReadRecord(c->client(), file, 64, 1, &status, &record, &error)) << error;
  EXPECT_EQ(record, Record(2, Name(2)));
  // Size 0 moves without a buffer; the reply is the status alone.
  EXPECT_EQ(c->Raw(kReadRecord, [&](MessageBuffer& b) {
    PutInt32(b, file);
    PutInt16(b, 0);
    PutInt16(b, kReadNextMode);
  }), (Bytes{0, 0, 0, 0}));

  const auto get_key = [&](int16_t size) {
    return c->Raw(kGetKey, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt16(b, size);
      PutInt16(b, 2);  // key 2: the name
    });
  };
  // Size 0 or past 241: the length alone, even though it is positive.
  EXPECT_EQ(get_key(0), I32(20));
  EXPECT_EQ(get_key(242), I32(20));
  EXPECT_EQ(get_key(241), Cat({I32(20), I32(20), B(Padded(Name(3), 20))}));
  // Fewer bytes asked than the key has: the rest of what is sent is zero.
  EXPECT_EQ(get_key(5), Cat({I32(20), I32(20), B(Name(3).substr(0, 5)), Bytes(15, 0)}));

  const auto direct = [&](int32_t size, int32_t position) {
    return c->Raw(kExtReadDirect, [&](MessageBuffer& b) {
      PutInt32(b, file);
      PutInt32(b, size);
      PutInt16(b, 0);
      PutInt32(b, position);
      PutInt32(b, 0);
    });
  };
  EXPECT_EQ(direct(100, positions_[0]), Cat({I32(64), I32(64), B(Record(1, Name(1)))}));
  EXPECT_EQ(direct(10, positions_[0]), Cat({I32(-2), I32(10), B(Record(1, Name(1)).substr(0, 10))}));
  EXPECT_EQ(direct(0, positions_[0]), I32(-2));
  EXPECT_EQ(direct(64, 999999), kEnd);

  // A negative record size ends the connection.
  bool closed = false;
  c->Raw(kReadRecord, [&](MessageBuffer& b) {
    PutInt32(b, file);
    PutInt16(b, -2);
    PutInt16(b, 1);
  }, &closed);
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace tmb::test
