// The sub-commands of tmbadmin. Each writes its report to `out` and its
// errors to `err`, every error naming the file (and the line, for schemas
// and CSV files) and what is wrong, and returns the exit status: 0 done,
// 1 failed. A data file is named as the library names it, with ".tmb"
// (DataFileName).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace tmbadmin {

// Makes an empty data file from a schema (docs/data-library.md section 9).
int CreateCommand(const std::string& file, const std::string& schema, std::ostream& out,
                  std::ostream& err);

// Inserts the records of a CSV file whose header row names the fields. The
// load is one transaction: on any bad line the file keeps what it held.
int LoadCommand(const std::string& file, const std::string& csv, std::ostream& out,
                std::ostream& err);

// Writes the records as CSV in the order of `key` (a number from 1, or a key
// name), at most `limit` of them (negative: all).
int DumpCommand(const std::string& file, const std::string& key, int64_t limit, std::ostream& out,
                std::ostream& err);

// Shows the definition: fields, keys and segments, and the record count.
int DescribeCommand(const std::string& file, std::ostream& out, std::ostream& err);

// Checks the file's database, definition and indexes; 1 lists the problems.
int CheckCommand(const std::string& file, std::ostream& out, std::ostream& err);

// Adds the user to `data_dir`/tmbusers, or replaces the line of that name.
int AddUserCommand(const std::string& data_dir, const std::string& name,
                   const std::string& password, const std::string& attributes, std::ostream& out,
                   std::ostream& err);

// Writes the demo catalog's records as customers.csv, products.csv and
// orders.csv into `dir` (made when missing).
int DemoCommand(const std::string& dir, std::ostream& out, std::ostream& err);

}  // namespace tmbadmin
