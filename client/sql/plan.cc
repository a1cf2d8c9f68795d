#include "client/sql/plan.h"

#include <algorithm>
#include <cmath>

#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

namespace text = tmbio::text;

// Cost units are round trips: a block read brings up to 256 records in one,
// a keyed read one record; estimates lean to keyed reads, which stop at
// the range while blocks would read on past it.
constexpr double kBlockRowCost = 0.02;
constexpr double kKeyedRowCost = 0.05;

bool Readable(const TableLayout& t, int k, int s) {
  const KeySegment& g = t.table.keys[k].segments[s];
  return CompleteKey(t.table.keys[k]) && g.column >= 0 && (g.flags & TMBIO_SEG_NOCASE) == 0;
}

// Which of the ORDER BY terms the key's order gives from segment `from`:
// 1 forward, -1 backward, 0 neither.
int OrderAlong(const TableLayout& t, int k, int from, const std::vector<PlanOrder>& order) {
  const Key& key = t.table.keys[k];
  if (order.empty() || from + order.size() > key.segments.size()) return 0;
  int direction = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const int s = from + static_cast<int>(i);
    if (!Readable(t, k, s) || key.segments[s].column != order[i].column) return 0;
    const int d = order[i].descending == key.segments[s].descending ? 1 : -1;
    if (direction != 0 && d != direction) return 0;
    direction = d;
  }
  return direction;
}

}  // namespace

bool CompleteKey(const Key& key) {
  constexpr int32_t kKnown = TMBIO_SEG_DUPLICATES | TMBIO_SEG_NOCASE | TMBIO_SEG_DESCENDING |
                             TMBIO_SEG_AUTOINC | TMBIO_SEG_MORE | TMBIO_SEG_TYPE_MASK;
  for (const KeySegment& g : key.segments) {
    if ((g.flags & ~kKnown) != 0) return false;
  }
  return !key.segments.empty();
}

bool ExactSegment(const TableLayout& t, int k, int s) {
  if (!Readable(t, k, s)) return false;
  const text::FieldLayout& f = t.key_fields[k][s];
  return f.kind == text::FieldKind::kSigned || f.kind == text::FieldKind::kUnsigned ||
         (f.kind == text::FieldKind::kDate && f.length == 8);
}

bool RangeSegment(const TableLayout& t, int k, int s) {
  if (!Readable(t, k, s) || t.table.keys[k].segments[s].descending) return false;
  return t.key_fields[k][s].kind != text::FieldKind::kBinary;
}

int Plan::ToIndexNumber() const {
  return (key + 1) | (equal_count << 6) | (lower ? 1 << 11 : 0) | (upper ? 1 << 12 : 0) |
         (text_equal ? 1 << 13 : 0) | (backward ? 1 << 14 : 0) | (ordered ? 1 << 15 : 0) |
         (unique ? 1 << 16 : 0) | (upper_strict ? 1 << 17 : 0) | (by_rowid ? 1 << 18 : 0);
}

Plan Plan::FromIndexNumber(int n) {
  Plan p;
  p.key = (n & 0x3F) - 1;
  p.equal_count = (n >> 6) & 0x1F;
  p.lower = (n & (1 << 11)) != 0;
  p.upper = (n & (1 << 12)) != 0;
  p.text_equal = (n & (1 << 13)) != 0;
  p.backward = (n & (1 << 14)) != 0;
  p.ordered = (n & (1 << 15)) != 0;
  p.unique = (n & (1 << 16)) != 0;
  p.upper_strict = (n & (1 << 17)) != 0;
  p.by_rowid = (n & (1 << 18)) != 0;
  return p;
}

Plan ChoosePlan(const TableLayout& t, const std::vector<PlanConstraint>& constraints,
                const std::vector<PlanOrder>& order) {
  const double n = static_cast<double>(std::max<int64_t>(t.table.record_count, 1));
  Plan best;
  best.argv.assign(constraints.size(), 0);
  best.rows = static_cast<int64_t>(n);
  best.cost = 10 + n * kBlockRowCost;
  // SQLite sorts what a plan does not give in order; the choice counts it.
  const auto sorted_cost = [&](const Plan& p) {
    const double r = std::max<double>(static_cast<double>(p.rows), 2.0);
    return p.cost + (!order.empty() && !p.ordered ? r * std::log2(r) * kBlockRowCost : 0);
  };

  for (size_t i = 0; i < constraints.size(); ++i) {
    const PlanConstraint& c = constraints[i];
    if (c.usable && c.column < 0 && c.op == ConstraintOp::kEq) {
      Plan p;
      p.by_rowid = p.unique = true;
      p.argv.assign(constraints.size(), 0);
      p.argv[i] = 1;
      p.rows = 1;
      p.cost = 1;
      return p;
    }
  }
  const size_t key_count = std::min<size_t>(t.table.keys.size(), 62);
  for (size_t k = 0; k < key_count; ++k) {
    const Key& key = t.table.keys[k];
    const int ki = static_cast<int>(k);
    Plan p;
    p.key = ki;
    p.argv.assign(constraints.size(), 0);
    int slot = 0;
    auto find = [&](int column, std::initializer_list<ConstraintOp> ops) {
      for (size_t i = 0; i < constraints.size(); ++i) {
        const PlanConstraint& c = constraints[i];
        if (!c.usable || c.column != column || p.argv[i] != 0) continue;
        if (std::find(ops.begin(), ops.end(), c.op) != ops.end()) return static_cast<int>(i);
      }
      return -1;
    };
    size_t s = 0;
    for (; s < key.segments.size() && s < 31 && ExactSegment(t, ki, static_cast<int>(s)); ++s) {
      const int i = find(key.segments[s].column, {ConstraintOp::kEq});
      if (i < 0) break;
      p.argv[i] = ++slot;
      ++p.equal_count;
    }
    if (s < key.segments.size() && RangeSegment(t, ki, static_cast<int>(s))) {
      const int column = key.segments[s].column;
      const int eq = t.key_fields[k][s].kind == text::FieldKind::kText
                         ? find(column, {ConstraintOp::kEq})
                         : -1;
      if (eq >= 0) {
        p.argv[eq] = ++slot;
        p.lower = p.upper = p.text_equal = true;
      } else {
        const int lo = find(column, {ConstraintOp::kGt, ConstraintOp::kGe});
        if (lo >= 0) {
          p.argv[lo] = ++slot;
          p.lower = true;
        }
        const int hi = find(column, {ConstraintOp::kLt, ConstraintOp::kLe});
        if (hi >= 0) {
          p.argv[hi] = ++slot;
          p.upper = true;
          p.upper_strict = constraints[static_cast<size_t>(hi)].op == ConstraintOp::kLt;
        }
      }
    }
    const bool whole = p.equal_count == static_cast<int>(key.segments.size());
    p.unique = key.unique && whole;
    double rows = n;
    if (p.unique) {
      rows = 1;
    } else {
      rows = n / std::pow(10.0, p.equal_count);
      if (p.text_equal) rows /= 10;
      else if (p.lower && p.upper) rows /= 8;
      else if (p.lower || p.upper) rows /= 4;
      rows = std::max(rows, 1.0);
    }
    const bool constrained = slot > 0;
    int direction = OrderAlong(t, ki, p.equal_count, order);
    if (direction == 0 && p.equal_count > 0) direction = OrderAlong(t, ki, 0, order);
    if (constrained) {
      if (direction < 0) direction = 0;  // backward reads start at the key's end only
      p.ordered = direction > 0;
      p.rows = static_cast<int64_t>(rows);
      p.cost = 1 + rows * kKeyedRowCost;
    } else if (direction != 0) {
      p.ordered = true;
      p.backward = direction < 0;
      p.rows = static_cast<int64_t>(n);
      // Forward: blocks in key order; backward: record by record.
      p.cost = p.backward ? 1 + n * kKeyedRowCost : 11 + n * kBlockRowCost;
    } else {
      continue;
    }
    if (sorted_cost(p) < sorted_cost(best)) best = std::move(p);
  }
  return best;
}

}  // namespace tmb::sql
