// The library's C interface as the server sees it through libtmbio.so.
#include "tmbio/tmbio.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "tests/tmbio/header_c_check.h"

namespace {

TEST(TmbioVersion, ModeTenWithoutHandleGivesTheVersion) {
  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_MODE_VERSION), 8100000);
  // The server's start-up check must pass against this very library.
  EXPECT_GE(QDGetEnvMode(nullptr, TMBIO_MODE_VERSION), TMBIO_MIN_VERSION);
}

TEST(TmbioVersion, OtherModesAndHandlesAreUnknown) {
  for (int32_t mode : {0, 3, 9, 11, 100, TMBIO_FILE_CELL, TMBIO_FILE_OPEN_INFO2, INT32_MIN,
                       INT32_MAX}) {
    EXPECT_EQ(QDGetEnvMode(nullptr, mode), TMBIO_UNKNOWN_MODE) << "mode " << mode;
  }
  // An object the library did not hand out is no environment.
  auto env = std::make_unique<TMBEnvironment>();
  EXPECT_EQ(QDGetEnvMode(env.get(), TMBIO_MODE_VERSION), TMBIO_UNKNOWN_MODE);
}

TEST(TmbioConnections, FreshLibraryCountsNothingAndUnknownSocketsAreHarmless) {
  EXPECT_EQ(GetNumConnections(), 0);
  EXPECT_EQ(GetNumOpenFiles(), 0);

  // Session threads end at any moment: closing sockets that own nothing,
  // from several threads at once, must leave the library as it was.
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (uint64_t s = 0; s < 200; ++s) {
        QD_SocketClosed(t * 1000 + s);
        EXPECT_EQ(GetNumConnections(), 0);
      }
    });
  }
  for (auto& t : threads) t.join();
  QD_SocketClosed(TMBIO_NO_SOCKET);
  EXPECT_EQ(GetNumConnections(), 0);
  EXPECT_EQ(GetNumOpenFiles(), 0);
  EXPECT_EQ(QDGetEnvMode(nullptr, TMBIO_MODE_VERSION), TMBIO_LIBRARY_VERSION);
}

TEST(TmbioHeader, CAndCxxAgreeOnTheLayout) {
  TmbioLayout c{};
  TmbioCLayout(&c);
  EXPECT_EQ(c.environment_size, sizeof(TMBEnvironment));
  EXPECT_EQ(c.catalogs, 1832u);
  EXPECT_EQ(c.catalog_count, 396072u);
  EXPECT_EQ(c.view_library, 396076u);
  EXPECT_EQ(c.environment_engine, offsetof(TMBEnvironment, engine));
  EXPECT_EQ(c.file_size, sizeof(TMBFile));
  EXPECT_EQ(c.file_server_cell, offsetof(TMBFile, server_cell));
  EXPECT_EQ(c.file_segments, offsetof(TMBFile, segments));
  EXPECT_EQ(c.sql_handle_size, sizeof(TMBSqlHandle));
  EXPECT_EQ(c.restriction_size, sizeof(TMBRestriction));
  EXPECT_EQ(c.restriction_text, offsetof(TMBRestriction, text));
  EXPECT_EQ(c.file_description_size, sizeof(TMBFileDescription));
  EXPECT_EQ(c.index_key_size, sizeof(TMBIndexKey));
  EXPECT_EQ(c.index_segment_size, sizeof(TMBIndexSegment));
  EXPECT_EQ(c.column_record_size, sizeof(TMBColumnRecord));
  EXPECT_EQ(c.column_blob1, offsetof(TMBColumnRecord, blob1));
  EXPECT_EQ(c.table_record_size, sizeof(TMBTableRecord));
  EXPECT_EQ(c.table_extension, offsetof(TMBTableRecord, extension));

  // The same library answers C callers, and the owner helpers work in C.
  EXPECT_EQ(TmbioCVersion(), TMBIO_LIBRARY_VERSION);
  EXPECT_EQ(TmbioCOwnerRoundTrip(0x1234567890ULL), 0x1234567890ULL);
}

}  // namespace
