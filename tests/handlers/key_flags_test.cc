#include "handlers/key_flags.h"

#include <gtest/gtest.h>

#include <vector>

namespace tmb {
namespace {

// A file of `kind` whose tables the test fills.
struct FakeFile {
  std::vector<TMBFileKey> keys;
  std::vector<TMBFileSegment> segments;
  TMBFile file{};

  explicit FakeFile(int32_t kind) { file.kind = kind; }
  void AddKey(std::initializer_list<TMBFileSegment> segs) {
    keys.push_back({static_cast<uint8_t>(segs.size()), static_cast<int32_t>(segments.size())});
    segments.insert(segments.end(), segs);
  }
  const TMBFile& Get() {
    file.keys = keys.data();
    file.segments = segments.data();
    file.key_count = static_cast<int32_t>(keys.size());
    file.segment_total = static_cast<int32_t>(segments.size());
    return file;
  }
};

TEST(KeyFlagsTest, SegmentFlagWords) {
  // The type field on its own: signed, unsigned and 0x2000 are flagged; text
  // and date are not. 0x1800 must not be caught by the bit mask either.
  EXPECT_TRUE(SegmentFlagged(21, 0x0800, 0));
  EXPECT_TRUE(SegmentFlagged(21, 0x1000, 0));
  EXPECT_TRUE(SegmentFlagged(21, 0x2000, 0));
  EXPECT_FALSE(SegmentFlagged(21, 0x1800, 0));
  EXPECT_FALSE(SegmentFlagged(21, 0x3800, 0));
  EXPECT_FALSE(SegmentFlagged(21, 0x0000, 0));
  for (uint16_t bit : {0x0002, 0x0004, 0x0008, 0x0010, 0x0400, 0x0200}) {
    EXPECT_TRUE(SegmentFlagged(21, bit, 0)) << bit;
    EXPECT_TRUE(SegmentFlagged(21, static_cast<uint16_t>(bit | 0x1800), 0)) << bit;
  }
  // Duplicates and "more segments follow" are no reason.
  EXPECT_FALSE(SegmentFlagged(21, 0x0101, 0));
  // Kind-specific marks.
  EXPECT_TRUE(SegmentFlagged(21, 0x0080, 0));
  EXPECT_FALSE(SegmentFlagged(2, 0x0080, 0));
  EXPECT_TRUE(SegmentFlagged(2, 0x0000, 0x80));
  EXPECT_FALSE(SegmentFlagged(21, 0x0000, 0x80));
}

TEST(KeyFlagsTest, KeySelectionKindsAndTableBounds) {
  FakeFile f(21);
  f.AddKey({{0x0100, 0}, {0x0000, 0}});  // key 1: text segments
  f.AddKey({{0x0100, 0}, {0x0800, 0}});  // key 2: second segment signed
  f.file.current_key = 2;
  EXPECT_FALSE(KeyFlagged(f.Get(), 1));
  EXPECT_TRUE(KeyFlagged(f.Get(), 2));
  EXPECT_TRUE(KeyFlagged(f.Get(), 0));   // the current key
  EXPECT_TRUE(KeyFlagged(f.Get(), -5));  // likewise
  EXPECT_FALSE(KeyFlagged(f.Get(), 3));  // no such key

  f.file.kind = 1;  // kinds without flagged keys
  EXPECT_FALSE(KeyFlagged(f.Get(), 2));
  f.file.kind = 2;
  EXPECT_TRUE(KeyFlagged(f.Get(), 2));

  // A key table that points outside the segment table is read only inside it.
  FakeFile g(21);
  g.AddKey({{0x0000, 0}});
  g.keys[0].segment_count = 3;  // claims two segments it does not have
  g.segments.push_back({0x0800, 0});
  g.Get();
  g.file.segment_total = 1;  // the flagged one lies past the table's end
  EXPECT_FALSE(KeyFlagged(g.file, 1));
  g.keys[0].first_segment = -1;
  EXPECT_FALSE(KeyFlagged(g.file, 1));

  FakeFile empty(21);
  empty.AddKey({});
  EXPECT_FALSE(KeyFlagged(empty.Get(), 1));
}

}  // namespace
}  // namespace tmb
