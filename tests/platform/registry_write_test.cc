#include "platform/registry_write.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_dir.h"

namespace tmb::platform {
namespace {

using namespace std::string_literals;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class RegistryWriteTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.path() + "/machine.reg"; }

  std::string Text(const char* key, const char* name) {
    RegistryKey k;
    if (k.Open(Hive::kLocalMachine, key) != kErrorSuccess) return "<no key>";
    char buffer[512];
    uint32_t size = sizeof buffer;
    uint32_t type = 0;
    if (k.QueryValue(name, &type, buffer, &size) != kErrorSuccess) return "<no value>";
    return std::to_string(type) + ":" + std::string(buffer, size);
  }

  long SetText(const char* key, const char* name, const std::string& text, uint32_t type = kRegSz) {
    return SetRegistryValue(Hive::kLocalMachine, key, name, type, text.c_str(),
                            static_cast<uint32_t>(text.size() + 1));
  }

  test::ScratchDir dir_{"tmb-regwrite"};
  test::ScopedEnv machine_{"TMB_MACHINE_REGISTRY", Path().c_str()};
};

TEST_F(RegistryWriteTest, ValuesOfEveryTypeReadBackAsWritten) {
  ASSERT_EQ(SetText("A\\B", "Plain", "Provides access to Tamblo data sources."), kErrorSuccess);
  ASSERT_EQ(SetText("A\\B", "Quoted", "say \"hi\" \\ there"), kErrorSuccess);
  ASSERT_EQ(SetText("A\\B", "High", "caf\xE9 \x80"), kErrorSuccess);  // written as UTF-16 hex
  ASSERT_EQ(SetText("A\\B", "Expand", "/opt/tmb/bin/tmbsqlsvr", kRegExpandSz), kErrorSuccess);
  const uint32_t seven = 7;
  ASSERT_EQ(SetRegistryValue(Hive::kLocalMachine, "A\\B", "Number", kRegDword, &seven, 4), kErrorSuccess);
  const std::string long_path(300, 'p');
  ASSERT_EQ(SetText("A\\B", "Long", long_path, kRegExpandSz), kErrorSuccess);  // spans lines

  EXPECT_EQ(Text("A\\B", "Plain"), "1:Provides access to Tamblo data sources.\0"s);
  EXPECT_EQ(Text("a\\b", "quoted"), "1:say \"hi\" \\ there\0"s);
  EXPECT_EQ(Text("A\\B", "High"), "1:caf\xE9 \x80\0"s);
  EXPECT_EQ(Text("A\\B", "Expand"), "2:/opt/tmb/bin/tmbsqlsvr\0"s);
  EXPECT_EQ(Text("A\\B", "Number"), "4:"s + std::string(reinterpret_cast<const char*>(&seven), 4));
  EXPECT_EQ(Text("A\\B", "Long"), "2:" + long_path + "\0"s);
  EXPECT_EQ(ReadAll(Path()).rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
}

TEST_F(RegistryWriteTest, SettingAgainReplacesTheValueAndKeepsEverythingElse) {
  WriteAll(Path(),
           "Windows Registry Editor Version 5.00\n\n"
           "; kept by hand\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\n"
           "\"Port\"=\"20300\"\n"
           "\"Blob\"=hex:01,02,\\\n  03\n\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server\\Catalogs]\n"
           "\"Demo\"=\"*[demo][][]\"\n");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(SetText("SOFTWARE\\orlane systems\\SQL Server", "blob", "x"), kErrorSuccess);
    ASSERT_EQ(SetText("Software\\Orlane Systems\\SQL Server", "Port", "20400"), kErrorSuccess);
  }
  const std::string after = ReadAll(Path());
  EXPECT_NE(after.find("; kept by hand\n"), std::string::npos);
  EXPECT_NE(after.find("[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server]\n"), std::string::npos);
  EXPECT_EQ(after.find("20300"), std::string::npos);
  EXPECT_EQ(after.find("hex:01"), std::string::npos);  // the continued line went with its value
  EXPECT_EQ(after.find("\"Port\""), after.rfind("\"Port\""));  // stated once
  EXPECT_EQ(after.find("\r\n"), std::string::npos);           // the file's line ends stay
  EXPECT_EQ(Text("Software\\Orlane Systems\\SQL Server", "Port"), "1:20400\0"s);
  EXPECT_EQ(Text("Software\\Orlane Systems\\SQL Server", "Blob"), "1:x\0"s);
  EXPECT_EQ(Text("Software\\Orlane Systems\\SQL Server\\Catalogs", "Demo"), "1:*[demo][][]\0"s);
}

TEST_F(RegistryWriteTest, DeleteRemovesTheKeyAndEverythingBelowIt) {
  ASSERT_EQ(SetText("S\\tmbsqlsvr", "ImagePath", "x"), kErrorSuccess);
  ASSERT_EQ(SetText("S\\tmbsqlsvr\\Parameters", "P", "y"), kErrorSuccess);
  ASSERT_EQ(SetText("S\\tmbsqlsvr2", "ImagePath", "z"), kErrorSuccess);
  ASSERT_EQ(CreateRegistryKey(Hive::kLocalMachine, "S\\Empty"), kErrorSuccess);
  ASSERT_EQ(CreateRegistryKey(Hive::kLocalMachine, "S\\Empty"), kErrorSuccess);
  const std::string before = ReadAll(Path());
  EXPECT_EQ(before.find("[HKEY_LOCAL_MACHINE\\S\\Empty]"), before.rfind("[HKEY_LOCAL_MACHINE\\S\\Empty]"));

  EXPECT_EQ(DeleteRegistryKey(Hive::kLocalMachine, "s\\TMBSQLSVR"), kErrorSuccess);
  EXPECT_EQ(Text("S\\tmbsqlsvr", "ImagePath"), "<no key>");
  EXPECT_EQ(Text("S\\tmbsqlsvr\\Parameters", "P"), "<no key>");
  EXPECT_EQ(Text("S\\tmbsqlsvr2", "ImagePath"), "1:z\0"s);  // a name that only starts alike stays
  EXPECT_EQ(DeleteRegistryKey(Hive::kLocalMachine, "S\\tmbsqlsvr"), kErrorFileNotFound);
  EXPECT_EQ(DeleteRegistryKey(Hive::kLocalMachine, ""), kErrorInvalidParameter);
}

TEST_F(RegistryWriteTest, Utf16FileIsReadAndWrittenBackAsUtf8) {
  const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"Name\"=\"\xC3\xA9t\xC3\xA9\"\r\n";
  // The UTF-8 above as UTF-16LE: only BMP characters, so one unit each.
  std::string utf16 = "\xFF\xFE";
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned c = static_cast<unsigned char>(text[i]);
    if (c == 0xC3) c = 0xC0 | (static_cast<unsigned char>(text[++i]) & 0x3F);
    utf16.push_back(static_cast<char>(c));
    utf16.push_back('\0');
  }
  WriteAll(Path(), utf16);
  ASSERT_EQ(Text("K", "Name"), "1:\xE9t\xE9\0"s);
  ASSERT_EQ(SetText("K", "Other", "o"), kErrorSuccess);
  EXPECT_EQ(ReadAll(Path()).rfind("\xEF\xBB\xBFWindows Registry Editor", 0), 0u);
  EXPECT_EQ(Text("K", "Name"), "1:\xE9t\xE9\0"s);
  EXPECT_EQ(Text("K", "Other"), "1:o\0"s);
}

TEST_F(RegistryWriteTest, WritersInSeveralProcessesLoseNoChange) {
  constexpr int kWriters = 4, kValues = 10;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      bool ok = true;
      for (int v = 0; v < kValues; ++v) {
        ok = ok && SetText("Shared", ("W" + std::to_string(w) + "V" + std::to_string(v)).c_str(), "x") ==
                       kErrorSuccess;
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int w = 0; w < kWriters; ++w) {
    for (int v = 0; v < kValues; ++v) {
      const std::string name = "W" + std::to_string(w) + "V" + std::to_string(v);
      EXPECT_EQ(Text("Shared", name.c_str()), "1:x\0"s) << name;
    }
  }
}

TEST_F(RegistryWriteTest, UnwritableHiveIsAccessDenied) {
  test::ScopedEnv elsewhere("TMB_MACHINE_REGISTRY", (dir_.path() + "/no/such/dir/machine.reg").c_str());
  EXPECT_EQ(SetText("K", "V", "x"), kErrorAccessDenied);
  EXPECT_EQ(CreateRegistryKey(Hive::kLocalMachine, "K"), kErrorAccessDenied);
}

}  // namespace
}  // namespace tmb::platform
