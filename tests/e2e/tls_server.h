// Test support: a real server whose certificate setting names a PEM file of
// the test's own, for the end-to-end TLS tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/e2e/server_process.h"
#include "tests/e2e/tls_certificates.h"
#include "tests/support/text_files.h"

namespace tmb::test {

// A server whose certificate setting names a PEM file: one the test writes
// into the server's directory, or any path the test gives.
class TlsServerTest : public ::testing::Test {
 protected:
  // Starts the server with the certificate setting naming a file that
  // holds `pem`; `settings` are further lines of the settings key.
  bool StartWith(const std::string& pem, const std::string& settings = "") {
    const std::string path = server_.dir() + "/server.pem";
    if (!WriteTextFile(path, pem)) return false;
    return StartNaming(path, settings);
  }
  bool StartNaming(const std::string& path, const std::string& settings = "") {
    server_.machine_hive = MachineHive("\"SSL\"=\"" + path + "\"\n" + settings);
    return server_.Start();
  }
  std::string Log() const { return ReadFile(server_.dir() + "/tmbsqlsvr.log"); }
  void TearDown() override { EXPECT_EQ(server_.StopProblems(), ""); }

  ServerProcess server_;
};

}  // namespace tmb::test
