// Test support without GoogleTest: the judgement of a crash test whose
// transactions each insert one id into every one of several files. After
// the crash every acknowledged id must be in every file, no id may be in
// some files but not all, and (when the writer knows them) no id may be
// there that was neither acknowledged nor in flight.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tmb::test {

struct TransactionAudit {
  int64_t lost = 0;   // acknowledged, yet missing from a file
  int64_t torn = 0;   // in some of the files but not all
  int64_t stray = 0;  // there, though never acknowledged nor in flight
  std::string report;  // the first few of each, for a failure message

  bool whole() const { return lost == 0 && torn == 0 && stray == 0; }
};

// `files` holds the ids each file has. With `may_be_there` null, ids that
// were not acknowledged are judged only for being whole.
inline TransactionAudit AuditTransactions(const std::vector<std::set<int32_t>>& files,
                                          const std::set<int32_t>& acknowledged,
                                          const std::set<int32_t>* may_be_there = nullptr) {
  TransactionAudit audit;
  constexpr int kListed = 10;
  auto note = [&audit](int64_t& count, const std::string& what, int32_t id) {
    if (++count <= kListed) audit.report += what + " " + std::to_string(id) + "\n";
  };
  std::set<int32_t> any;
  for (const auto& ids : files) any.insert(ids.begin(), ids.end());
  for (int32_t id : acknowledged) {
    for (const auto& ids : files) {
      if (ids.count(id) == 0) {
        note(audit.lost, "acknowledged transaction lost:", id);
        break;
      }
    }
  }
  for (int32_t id : any) {
    size_t holding = 0;
    for (const auto& ids : files) holding += ids.count(id);
    // An acknowledged id missing somewhere is counted as lost already.
    if (holding != files.size() && acknowledged.count(id) == 0) {
      note(audit.torn, "transaction in only " + std::to_string(holding) + " of " +
                           std::to_string(files.size()) + " files:",
           id);
    }
    if (may_be_there != nullptr && acknowledged.count(id) == 0 && may_be_there->count(id) == 0) {
      note(audit.stray, "id never acknowledged nor in flight:", id);
    }
  }
  return audit;
}

}  // namespace tmb::test
