#include "client/sql/position_set.h"

namespace tmb::sql {
namespace {

constexpr size_t kSlack = 1024;  // words the bitmap may hold beyond one per position

}  // namespace

bool PositionSet::Insert(int32_t position) {
  const auto p = static_cast<uint32_t>(position);
  const size_t word = p / 64;
  const uint64_t bit = uint64_t{1} << (p % 64);
  if (word >= bits_.size() && word < size_ + kSlack) bits_.resize(word + 1, 0);
  if (word < bits_.size()) {
    // The bitmap may have grown over a position kept far before.
    if ((bits_[word] & bit) != 0 || (!far_.empty() && far_.count(position) != 0)) return false;
    bits_[word] |= bit;
  } else if (!far_.insert(position).second) {
    return false;
  }
  ++size_;
  return true;
}

void PositionSet::Clear() {
  bits_.clear();
  far_.clear();
  size_ = 0;
}

}  // namespace tmb::sql
