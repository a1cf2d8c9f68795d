// Loading a catalog's tables from the server: which data files there are
// (table records), their fields (column records) and their keys (each file
// opened and its index described). Everything the server sends is bounded
// here: counts, record lengths, and fields or segments outside the record,
// which are left out or refused with a message, so that the SQL view above
// works only with layouts that fit the records it reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/sql/database.h"
#include "tmbio/record_text.h"

namespace tmb::sql {

// Most tables and columns a catalog may declare; a longer listing is refused.
constexpr size_t kMaxTables = 4096;
constexpr size_t kMaxColumns = 65536;
// Longest record (fixed and variable part) the view reads.
constexpr int32_t kMaxRecordBytes = 1 << 20;

// One table as the view works with it: the declared table, the codec's
// layout of each column (parallel to table.columns) and of each key segment
// (offsets into the key's value), and the file's sizes.
struct TableLayout {
  Table table;
  std::vector<tmbio::text::FieldLayout> fields;
  std::vector<std::vector<tmbio::text::FieldLayout>> key_fields;  // per key, per segment
  std::vector<int32_t> key_lengths;                               // per key: its value length
  int32_t variable_length = 0;
  bool block_reads = false;  // the file answers block reads
  int32_t opened = -1;       // the file id the loading left open, for the first use
};

// Reads the tables of the environment's catalog in name order. False with
// *error when an exchange fails or the server describes a file the view
// cannot read safely.
bool LoadCatalog(Client& c, int32_t env, std::vector<TableLayout>* tables, std::string* error);

}  // namespace tmb::sql
