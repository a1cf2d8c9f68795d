// The systemd unit in resources/: systemd's own checker accepts it once its
// ExecStart names a binary that exists (the built one), and what it starts
// is the interactive server with the registry under /etc/tmbsqlsvr/.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/options.h"
#include "tests/support/scratch_dir.h"

namespace tmb::test {
namespace {

constexpr const char* kUnit = TMB_SOURCE_DIR "/resources/tmbsqlsvr.service";

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The value of the first "Key=" line, or of every one.
std::vector<std::string> Values(const std::vector<std::string>& lines, const std::string& key) {
  std::vector<std::string> values;
  for (const std::string& line : lines) {
    if (line.rfind(key + "=", 0) == 0) values.push_back(line.substr(key.size() + 1));
  }
  return values;
}

// Runs `command`; its exit status and everything it printed on either stream.
std::pair<int, std::string> RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, out};
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  return {pclose(pipe), out};
}

class SystemdUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand("command -v systemd-analyze").first, 0)
        << "systemd-analyze is missing; scripts/setup.sh installs the systemd package";
    lines_ = Lines(kUnit);
    ASSERT_FALSE(lines_.empty()) << kUnit;
  }
  // A copy of the unit in a scratch directory with ExecStart's program
  // replaced by `program`, and the output of verifying it.
  std::pair<int, std::string> VerifyWith(const std::string& program,
                                         const std::string& extra_line = "") {
    std::ofstream out(dir_.path() + "/tmbsqlsvr.service");
    for (const std::string& line : lines_) {
      if (line.rfind("ExecStart=", 0) == 0) {
        const size_t blank = line.find(' ');
        out << "ExecStart=" << program
            << (blank == std::string::npos ? "" : line.substr(blank)) << "\n";
      } else {
        out << line << "\n";
      }
      if (line == "[Service]" && !extra_line.empty()) out << extra_line << "\n";
    }
    out.close();
    return RunCommand("systemd-analyze verify '" + dir_.path() + "/tmbsqlsvr.service'");
  }

  std::vector<std::string> lines_;
  ScratchDir dir_{"tmb-unit"};
};

TEST_F(SystemdUnitTest, SystemdAcceptsTheUnitWithoutAWord) {
  const auto [status, output] = VerifyWith(TMB_SERVER_BIN);
  EXPECT_EQ(status, 0) << output;
  // Settings systemd cannot parse are only warned about, so any word at all
  // is a fault of the unit.
  EXPECT_EQ(output, "");
}

TEST_F(SystemdUnitTest, TheCheckerDoesCatchFaults) {
  // Without these the test above could pass on a checker that looks at
  // nothing.
  EXPECT_NE(VerifyWith(dir_.path() + "/no-such-binary").first, 0);
  EXPECT_NE(VerifyWith(TMB_SERVER_BIN, "Restart=sometimes").second, "");
}

TEST_F(SystemdUnitTest, StartsTheInteractiveServerAndStopsItInOrder) {
  const std::vector<std::string> exec = Values(lines_, "ExecStart");
  ASSERT_EQ(exec.size(), 1u);
  const size_t blank = exec[0].find(' ');
  const std::string arguments = blank == std::string::npos ? "" : exec[0].substr(blank + 1);
  // Only the interactive start reads the certificate setting.
  EXPECT_EQ(SelectMode(arguments), Mode::kInteractive) << exec[0];

  const std::vector<std::string> env = Values(lines_, "Environment");
  for (const char* hive : {"TMB_MACHINE_REGISTRY=/etc/tmbsqlsvr/",
                           "TMB_USER_REGISTRY=/etc/tmbsqlsvr/"}) {
    bool found = false;
    for (const std::string& e : env) found = found || e.rfind(hive, 0) == 0;
    EXPECT_TRUE(found) << hive;
  }
  // SIGTERM is the close box: the server stops in order and exits 0, which
  // systemd counts as a clean stop, not a failure to restart from.
  EXPECT_EQ(Values(lines_, "KillSignal"), std::vector<std::string>{"SIGTERM"});
  EXPECT_EQ(Values(lines_, "Restart"), std::vector<std::string>{"on-failure"});
  // Standard input is no terminal, so no panel waits for a key.
  EXPECT_EQ(Values(lines_, "StandardInput"), std::vector<std::string>{"null"});
}

}  // namespace
}  // namespace tmb::test
