// Test support without GoogleTest: a catalog of small data files for tests
// and fuzz targets that serve requests in this process, with registry hives
// that name it. "Demo" (the default catalog) holds "people" (fixed records,
// two keys, a dictionary entry) and "notes" (a variable part, so it refuses
// block reads); "Guarded" holds "secret" and a users file (user "anna",
// password "pw"). The security entries give "ada" read and write on people
// and notes, everyone else read access.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tmb::test {

class DemoCatalog {
 public:
  // Makes the catalog under `dir` (which must exist) and points
  // TMB_MACHINE_REGISTRY and TMB_USER_REGISTRY at hives there. A failure
  // to make it aborts with a message: nothing after could mean anything.
  explicit DemoCatalog(const std::string& dir);

  const std::string& dir() const { return dir_; }
  // Puts the data files back as they were made. Only while the library
  // holds none of them open.
  void Restore() const;

 private:
  std::string dir_;
  std::vector<std::pair<std::string, std::string>> pristine_;  // path, bytes
};

}  // namespace tmb::test
