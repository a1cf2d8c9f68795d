// How a query on one table is read: the choice xBestIndex makes, as a pure
// function of the table's keys and SQLite's constraints and ORDER BY, and
// its round trip through SQLite's idxNum.
//
// A plan reads along key K when its leading segments are constrained:
// equality on whole, exactly stored segments (integers, 8-byte dates) one
// after another, then at most one range (>, >=, <, <=, or equality on a
// text segment, whose stored value may be padded with blanks or zeros) on
// the next ascending segment. The read seeks on the equal values and the
// lower bound and stops at the first record past them; SQLite still checks
// every constraint (none is omitted), so a value the view cannot encode
// only widens the read. An ORDER BY is consumed when its columns are the
// key's segments in order (after the equal ones, or from the first), each in
// the segment's direction (a scan read forward) or each against it (read
// backward, without constraints). A full scan reads blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "client/sql/catalog.h"

namespace tmb::sql {

enum class ConstraintOp { kEq, kLt, kLe, kGt, kGe, kOther };

struct PlanConstraint {
  int column = -1;  // -1: the rowid
  ConstraintOp op = ConstraintOp::kOther;
  bool usable = false;
};

struct PlanOrder {
  int column = -1;
  bool descending = false;
};

struct Plan {
  int key = -1;            // index into table.keys; -1 reads the whole file
  int equal_count = 0;     // leading segments read by equal value
  bool lower = false;      // a lower bound on segment `equal_count`
  bool upper = false;      // an upper bound on it
  bool upper_strict = false;  // the bound itself is past the range (<)
  bool text_equal = false; // the range is one equality on a text segment
  bool backward = false;   // read the key from its end
  bool ordered = false;    // the rows come in the ORDER BY's order
  bool unique = false;     // at most one row: a unique key wholly equal
  bool by_rowid = false;   // one record read at its position (rowid = ?)
  // For xBestIndex: argv slot (from 1) of each constraint, 0 for none.
  std::vector<int> argv;
  double cost = 0;
  int64_t rows = 0;

  int ToIndexNumber() const;
  static Plan FromIndexNumber(int number);
};

// The cheapest plan for these constraints and ORDER BY on `table`.
Plan ChoosePlan(const TableLayout& table, const std::vector<PlanConstraint>& constraints,
                const std::vector<PlanOrder>& order);

// Whether key `key` holds every record in a byte order the view knows: no
// sparse segment (which leaves records out) and no flag it does not know
// (an alternate collating order, ...). Only such keys are read.
bool CompleteKey(const Key& key);

// Whether segment `s` of key `k` may be read by equal value, and by range.
bool ExactSegment(const TableLayout& table, int k, int s);
bool RangeSegment(const TableLayout& table, int k, int s);

}  // namespace tmb::sql
