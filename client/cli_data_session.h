// One data connection of tmbcli: a connection with an environment and
// optionally one open file with its field and key layouts, as the data and
// benchmark commands start from; and the words for the data library's
// statuses. Every method that can fail prints why on the context's error
// stream and returns the exit code, kExitOk when it went through.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/cli.h"
#include "client/data_calls.h"
#include "client/field_kinds.h"
#include "tmbio/record_text.h"

namespace tmb::cli {

// Rows fetched per FetchTable or FetchColumn request.
constexpr int32_t kFetchBatch = 64;
// ReadRecord's size is 16 bits.
constexpr int32_t kMaxReadSize = 32767;

// Prints "tmbcli: WHAT: <the status in words> (STATUS)"; the server
// answered, so the answer is no: kExitNo.
int LibraryFailed(Context& ctx, const std::string& what, int32_t status);
// The table name of a file argument: its last component without ".tmb".
std::string TableOf(const std::string& file);
// The file name of a table or file argument: ".tmb" added when missing.
std::string FileOf(const std::string& file);

struct FieldInfo {
  std::string name;
  std::string type_name;
  bool nullable = false;
  int32_t ordinal = 0;
  tmbio::text::FieldLayout layout;
};

inline std::span<uint8_t> Bytes(std::string& s) {
  return {reinterpret_cast<uint8_t*>(s.data()), s.size()};
}

class DataSession {
 public:
  explicit DataSession(Context& ctx) : ctx_(ctx) {}
  // Closes the file and releases the environment while connected.
  ~DataSession();
  DataSession(const DataSession&) = delete;
  DataSession& operator=(const DataSession&) = delete;

  Client& client() { return client_; }
  int32_t env() const { return env_; }
  const OpenedFile& file() const { return file_; }
  const std::vector<FieldInfo>& fields() const { return fields_; }

  // Connects and allocates the environment.
  int Start();
  // Asks for an SQL handle in the environment: *handle set on kExitOk.
  int RequestHandle(int32_t* handle);
  // Starts, opens `name` (".tmb" added when missing) and reads its fields.
  int OpenFile(const std::string& name);
  // The field values of `record` as text, in field order.
  std::vector<std::string> Values(const std::string& record) const;
  // The segments (offset, length, flags) of key `number`.
  int KeySegments(int32_t number, std::vector<IndexSegment>* segments);
  // Makes key `number` the file's current key.
  int UseKey(int32_t number);
  // Encodes CSV key values, one per segment of key `number`.
  int EncodeKey(int32_t number, const std::string& csv, std::string* key);

 private:
  int LoadFields(const std::string& table);

  Context& ctx_;
  Client client_;
  int32_t env_ = 0;
  OpenedFile file_;
  std::vector<FieldInfo> fields_;
};

}  // namespace tmb::cli
