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

namespace tmb {

// (key below the settings key, "" for itself; that key's value lines)
using HiveSections = std::vector<std::pair<std::string, std::string>>;

class HiveFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tmb-hives-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("TMB_USER_REGISTRY", UserFile().c_str(), 1);
    setenv("TMB_MACHINE_REGISTRY", (dir_ + "/machine.reg").c_str(), 1);
  }
  void TearDown() override {
    std::remove(UserFile().c_str());
    std::remove((dir_ + "/machine.reg").c_str());
    rmdir(dir_.c_str());
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

  std::string dir_;
};

}  // namespace tmb
