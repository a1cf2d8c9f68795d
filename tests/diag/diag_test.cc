#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_trace.h"
#include "diag/log.h"
#include "platform/message_box.h"
#include "tests/support/scratch_dir.h"

namespace tmb {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Collects what the calls made inside `body` wrote to file descriptor 2.
std::string CaptureStderr(const std::function<void()>& body) {
  char path[] = "/tmp/tmb_stderr_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "<mkstemp failed>";
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fd);
  std::string text = ReadFile(path);
  unlink(path);
  return text;
}

// The log file is opened once per process and stays open, so every log case
// runs in a forked child inside a directory of its own.
class LogFileTest : public ::testing::Test {
 protected:

  // Runs `body` in a child whose current directory is dir_; true when the
  // child ended normally.
  bool RunInChild(const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(3);
      body();
      _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  fs::path log() const { return dir_ / "tmbsqlsvr.log"; }

  test::ScratchDir scratch_{"tmb-diag"};
  const fs::path dir_{scratch_.path()};
};

TEST_F(LogFileTest, HeaderThenMessagesInOrder) {
  const std::string long_text(3000, 'L');  // longer than any stack buffer
  ASSERT_TRUE(RunInChild([&] {
    WriteLog("Can not find certificate file");
    WriteLog("SSL_accept failed: %d (%s)", -1, "timeout");
    WriteLog("entry point missing\r\nSSL_new");
    WriteLog("%s", long_text.c_str());
  }));
  EXPECT_EQ(ReadFile(log()),
            "\r\nOpened Log file\r\n"
            "Can not find certificate file\r\n"
            "SSL_accept failed: -1 (timeout)\r\n"
            "entry point missing\r\nSSL_new\r\n" +
                long_text + "\r\n");
}

TEST_F(LogFileTest, OnlyAFirstMessageCreatesOrTruncatesTheFile) {
  {
    std::ofstream old(log(), std::ios::binary);
    old << "previous run\r\n";
  }
  ASSERT_TRUE(RunInChild([] {
    // Other channels leave the log alone.
    CaptureStderr([] { DebugTrace("note %d\n", 1); });
  }));
  EXPECT_EQ(ReadFile(log()), "previous run\r\n");

  ASSERT_TRUE(RunInChild([] { WriteLog("second run"); }));
  EXPECT_EQ(ReadFile(log()), "\r\nOpened Log file\r\nsecond run\r\n");

  fs::remove(log());
  ASSERT_TRUE(RunInChild([] {}));
  EXPECT_FALSE(fs::exists(log()));
}

TEST_F(LogFileTest, FailedOpenDropsTheMessageAndTheNextOneRetries) {
  // A directory in the file's place makes the open fail even for root.
  ASSERT_TRUE(RunInChild([] {
    if (mkdir("tmbsqlsvr.log", 0700) != 0) _exit(4);
    WriteLog("lost %d", 1);
    if (rmdir("tmbsqlsvr.log") != 0) _exit(5);
    WriteLog("kept %d", 2);
  }));
  EXPECT_EQ(ReadFile(log()), "\r\nOpened Log file\r\nkept 2\r\n");
}

TEST_F(LogFileTest, ConcurrentMessagesGiveOneHeaderAndWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 400;
  ASSERT_TRUE(RunInChild([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) WriteLog("thread %d line %d %s", t, i, "..........");
      });
    }
    for (std::thread& th : threads) th.join();
  }));
  const std::string text = ReadFile(log());
  ASSERT_EQ(text.rfind("\r\nOpened Log file\r\n", 0), 0u);
  std::vector<int> next(kThreads, 0);
  size_t pos = 19;  // past the header
  int lines = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos) << "unterminated line at " << pos;
    const std::string line = text.substr(pos, end - pos);
    int t = -1, i = -1;
    char tail[16] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %15s", &t, &i, tail), 3) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]) << "out of order: " << line;
    EXPECT_STREQ(tail, "..........") << line;
    next[t] = i + 1;
    ++lines;
    pos = end + 2;
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

TEST(DebugTraceTest, FormatsOneIntegerAndLimitsLengths) {
  EXPECT_EQ(CaptureStderr([] { DebugTrace(" [MY_SERVICE] port %d\n", 20222); }),
            " [MY_SERVICE] port 20222\n");
  EXPECT_EQ(CaptureStderr([] { DebugTrace(" [MY_SERVICE] stopped", 0); }),
            " [MY_SERVICE] stopped");
  // The service's "%ld" texts get the value whole, negative ones too.
  EXPECT_EQ(CaptureStderr([] { DebugTrace(" [MY_SERVICE] Unrecognized opcode %ld\n", -129); }),
            " [MY_SERVICE] Unrecognized opcode -129\n");
  EXPECT_EQ(CaptureStderr([] { DebugTrace("100%% %lld", 2147483647); }), "100% 2147483647");

  // 999 characters is the longest format still used.
  const std::string longest = std::string(997, 'f') + "%d";
  EXPECT_EQ(CaptureStderr([&] { DebugTrace(longest.c_str(), 5); }), std::string(997, 'f') + "5");
  const std::string too_long = std::string(998, 'f') + "%d";
  EXPECT_EQ(CaptureStderr([&] { DebugTrace(too_long.c_str(), 5); }), "");

  // A short format whose result passes 1023 characters is cut there.
  const std::string wide = std::string(990, 'w') + "%0100d";
  const std::string out = CaptureStderr([&] { DebugTrace(wide.c_str(), 7); });
  EXPECT_EQ(out.size(), 1023u);
  EXPECT_EQ(out, std::string(990, 'w') + std::string(33, '0'));
}

TEST(MessageBoxTest, WritesCaptionAndTextAsOneLine) {
  int answer = 0;
  EXPECT_EQ(CaptureStderr([&] {
              answer = platform::MessageBox("Can not open port", "tmbsqlsvr",
                                            platform::kMbOk | platform::kMbIconExclamation);
            }),
            "tmbsqlsvr: Can not open port\n");
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(CaptureStderr([] { platform::MessageBox("two\nlines\n", "Cap", platform::kMbOk); }),
            "Cap: two\nlines\n");
  EXPECT_EQ(CaptureStderr([] { platform::MessageBox(nullptr, nullptr, platform::kMbOk); }),
            "Error: \n");
}

TEST(MessageBoxTest, LinesFromThreadsDoNotInterleave) {
  constexpr int kThreads = 4;
  constexpr int kBoxes = 200;
  const std::string text = CaptureStderr([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const std::string body = "box from thread " + std::to_string(t) + std::string(200, '.');
        for (int i = 0; i < kBoxes; ++i) platform::MessageBox(body.c_str(), "Caption", 0);
      });
    }
    for (std::thread& th : threads) th.join();
  });
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.size(), std::string("Caption: box from thread 0").size() + 200) << line;
    ASSERT_EQ(line.rfind("Caption: box from thread ", 0), 0u) << line;
  }
  EXPECT_EQ(count, kThreads * kBoxes);
}

}  // namespace
}  // namespace tmb
