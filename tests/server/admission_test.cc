// Admission of connections: the room the descriptor limit leaves, and an
// accept loop that goes on when one connection cannot be given a session.
// The counts per address and in total are checked end to end
// (tests/e2e/limits_test.cc).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "server/server.h"
#include "tests/e2e/server_process.h"
#include "server/session.h"
#include "wire/allocation_failure.h"
#include "wire/primitives.h"
#include "tests/support/scratch_dir.h"

namespace tmb {
namespace {

TEST(ConnectionLimitsTest, DescriptorLimitLeavesRoomForEachConnectionsFiles) {
  EXPECT_EQ(ConnectionsWithin(1 << 20, 4096), 4096);
  EXPECT_EQ(ConnectionsWithin(1024, 4096), static_cast<int>((1024 - kReservedDescriptors) /
                                                            kDescriptorsPerConnection));
  EXPECT_EQ(ConnectionsWithin(kReservedDescriptors, 4096), 1);
  EXPECT_EQ(ConnectionsWithin(0, 4096), 1);
  EXPECT_EQ(ConnectionsWithin(std::numeric_limits<uint64_t>::max(), 7), 7);
}

// The real server thread in this process, with a dispatcher that answers
// every request with its opcode alone.
class AcceptLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ + "/machine.reg", std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\r\n"
           "\"Demo\"=\"*[demo][][]\"\r\n";
    setenv("TMB_MACHINE_REGISTRY", (dir_ + "/machine.reg").c_str(), 1);
    setenv("TMB_USER_REGISTRY", (dir_ + "/user.reg").c_str(), 1);
    Settings().port = test::FreePort();
    ASSERT_EQ(StartServer({AnswerWithOpcode, [](uint8_t) { return true; },
                           [](Session&) { return false; }}),
              0);
  }
  void TearDown() override {
    DisarmAllocationFailure();
    StopServer();
  }

  static void AnswerWithOpcode(Session& s, uint8_t opcode) {
    s.buffer.BeginReply();
    PutByte(s.buffer, opcode);
  }

  static int Connect() {
    const int fd = test::ConnectLoopback(Settings().port);
    EXPECT_GE(fd, 0);
    return fd;
  }

  // What the server sends on `fd` within five seconds, until it closes:
  // "closed" when it closes without a byte, "silent" when nothing comes.
  static std::string Answer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return "silent";
    uint8_t frame[16];
    const ssize_t n = recv(fd, frame, sizeof frame, MSG_WAITALL);
    if (n <= 0) return "closed";
    return std::string(frame, frame + n);
  }

  test::ScratchDir scratch_{"tmb-accept"};
  const std::string& dir_ = scratch_.path();
};

TEST_F(AcceptLoopTest, ASessionWithoutMemoryCostsOnlyItsOwnConnection) {
  const std::string request("\0\0\0\1\0\0\0\1\x29", 9);  // Hello
  ArmAllocationFailure(1, 1);  // the next session's home block
  const int unlucky = Connect();
  EXPECT_EQ(Answer(unlucky), "closed");
  close(unlucky);

  const int next = Connect();
  ASSERT_EQ(send(next, request.data(), request.size(), MSG_NOSIGNAL), 9);
  shutdown(next, SHUT_WR);  // the whole answer, then the end
  EXPECT_EQ(Answer(next), request);
  close(next);
}

}  // namespace
}  // namespace tmb
