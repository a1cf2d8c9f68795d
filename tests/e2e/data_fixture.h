// Test support for requests on real data files: a server whose default
// catalog is the directory "demo" under its working directory, data files
// made there with the library's tool interface, and a connection with an
// environment open on it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/client.h"
#include "client/data_calls.h"
#include "wire/primitives.h"
#include "tests/e2e/server_process.h"
#include "tests/support/schema.h"
#include "tmbio/admin.h"

namespace tmb::test {

// A connection opened with Hello and holding one environment.
class DataConnection {
 public:
  explicit DataConnection(uint16_t port);
  Client& client() { return client_; }
  int32_t env() const { return env_; }

  // Opens a file and expects success.
  int32_t Open(const std::string& name);
  // Sends `opcode` with the fields `build` appends and returns the reply
  // body; empty with *closed set when the server ended the connection.
  Bytes Raw(uint8_t opcode, const std::function<void(MessageBuffer&)>& build,
            bool* closed = nullptr);
  // Inserts a record (write operation 0) and expects a position.
  int32_t Insert(int32_t file, const std::string& record);

 private:
  Client client_;
  int32_t env_ = 0;
};

class DataServerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The catalog's data directory.
  std::string DataDir() const { return server_.dir() + "/demo"; }
  // Makes `name` in the data directory; the test fails when it cannot.
  void CreateFile(const std::string& name, const Schema& schema);
  std::unique_ptr<DataConnection> Connect() {
    return std::make_unique<DataConnection>(server_.port());
  }

  ServerProcess server_;
};

// Reads a big-endian i32 at `at` of a reply body.
int32_t Int32At(const Bytes& body, size_t at);
// The wire form of a fixed-width text: i32 width, then the field.
Bytes FixedField(const std::string& text, uint32_t width);

}  // namespace tmb::test
