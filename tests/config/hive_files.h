// A fixture for units that read the registry: each case gets its own hive
// files in a fresh directory, and the registry layer is pointed at them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>
#include "tests/support/scratch_dir.h"

namespace tmb {

// (key below the settings key, "" for itself; that key's value lines)
using HiveSections = std::vector<std::pair<std::string, std::string>>;

class HiveFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TMB_USER_REGISTRY", UserFile().c_str(), 1);
    setenv("TMB_MACHINE_REGISTRY", (dir_ + "/machine.reg").c_str(), 1);
  }

  // Replaces a hive file with `sections`.
  void User(const HiveSections& sections) { Write("user.reg", "HKEY_CURRENT_USER", sections); }
  void Machine(const HiveSections& sections) {
    Write("machine.reg", "HKEY_LOCAL_MACHINE", sections);
  }
  std::string UserFile() const { return dir_ + "/user.reg"; }

 private:
  void Write(const char* file, const char* root, const HiveSections& sections) {
    std::ofstream out(dir_ + "/" + file, std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n";
    for (const auto& [key, lines] : sections) {
      out << "\r\n[" << root << "\\Software\\Orlane Systems\\SQL Server"
          << (key.empty() ? "" : "\\") << key << "]\r\n"
          << lines;
    }
  }

  test::ScratchDir scratch_{"tmb-hives"};
  const std::string& dir_ = scratch_.path();
};

}  // namespace tmb
