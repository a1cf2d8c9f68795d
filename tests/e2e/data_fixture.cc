#include "tests/e2e/data_fixture.h"

#include <sys/stat.h>

#include "client/session_calls.h"

namespace tmb::test {

DataConnection::DataConnection(uint16_t port) {
  std::string error;
  EXPECT_TRUE(client_.Connect("127.0.0.1", port, &error)) << error;
  int16_t code = -1;
  EXPECT_TRUE(CallHello(client_, &code, &error)) << error;
  EXPECT_TRUE(CallAllocEnv(client_, &env_, &error)) << error;
  EXPECT_NE(env_, 0);
}

int32_t DataConnection::Open(const std::string& name) {
  OpenedFile f;
  std::string error;
  EXPECT_TRUE(CallOpenFile(client_, env_, name, 0, &f, &error)) << error;
  EXPECT_NE(f.id, -1) << name << ": error word " << f.error;
  return f.id;
}

Bytes DataConnection::Raw(uint8_t opcode, const std::function<void(MessageBuffer&)>& build,
                          bool* closed) {
  client_.BeginRequest(opcode);
  build(client_.request());
  std::string error;
  const bool ok = client_.Call(&error);
  if (closed != nullptr) *closed = !ok;
  if (!ok) return {};
  const MessageBuffer& r = client_.reply();
  return Bytes(r.data(), r.data() + r.length());
}

int32_t DataConnection::Insert(int32_t file, const std::string& record) {
  int32_t status = 0;
  std::string error;
  EXPECT_TRUE(CallExtWrite(client_, file, record, "", 0, 0, &status, &error)) << error;
  EXPECT_GT(status, 0) << "insert failed";
  return status;
}

void DataServerTest::SetUp() {
  ASSERT_EQ(mkdir(DataDir().c_str(), 0755), 0);
  ASSERT_TRUE(server_.Start()) << server_.Stderr();
}

void DataServerTest::TearDown() {
  EXPECT_EQ(server_.StopProblems(), "");
}

void DataServerTest::CreateFile(const std::string& name, const Schema& schema) {
  std::string error;
  ASSERT_EQ(tmbio::CreateDataFile(DataDir() + "/" + name, schema.Definition(), &error), 0)
      << error;
}

int32_t Int32At(const Bytes& body, size_t at) {
  if (at + 4 > body.size()) {
    ADD_FAILURE() << "reply too short for an i32 at " << at;
    return 0;
  }
  return static_cast<int32_t>(LoadBigEndian32(body.data() + at));
}

Bytes FixedField(const std::string& text, uint32_t width) {
  Bytes field(4 + width, 0);
  StoreBigEndian32(field.data(), width);
  std::copy(text.begin(), text.end(), field.begin() + 4);
  return field;
}

}  // namespace tmb::test
