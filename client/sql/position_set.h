// The record positions a scan has returned, so that a row another client
// moves ahead of the scan (a key changed under it) is not returned twice.
// Positions are the library's stable record numbers, handed out in rising
// order, so they are mostly dense: a bitmap holds them at one bit each,
// and a hash set takes the ones too far beyond the others for the bitmap
// to stay small (the bitmap never grows past one 64-bit word per position
// held, plus 8 KiB). Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace tmb::sql {

class PositionSet {
 public:
  // Adds `position`; false when it was there already.
  bool Insert(int32_t position);
  void Clear();
  size_t size() const { return size_; }

 private:
  std::vector<uint64_t> bits_;
  std::unordered_set<int32_t> far_;
  size_t size_ = 0;
};

}  // namespace tmb::sql
