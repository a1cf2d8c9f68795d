#include "tests/support/demo_catalog.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/schema.h"
#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace tmb::test {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void SetupFailed(const std::string& what) {
  std::fprintf(stderr, "demo catalog: setup failed: %s\n", what.c_str());
  std::abort();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) SetupFailed("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Create(const std::string& path, const tmbio::FileDefinition& def) {
  std::string error;
  if (tmbio::CreateDataFile(path, def, &error) != 0) SetupFailed(path + ": " + error);
}

// Fills a file through the library's own interface, as a client would.
void Fill(const std::string& dir, const char* name, const std::vector<std::string>& records,
          const std::string& dictionary_entry) {
  TMBEnvironment* env = QDK_AllocEnv();
  if (env == nullptr) SetupFailed("no environment");
  QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(dir.c_str()));
  int32_t error = 0;
  TMBFile* file = QDK_OpenExt(env, name, nullptr, 0, TMBIO_OPEN_NORMAL, &error);
  if (file == nullptr) SetupFailed(std::string(name) + ": open error " + std::to_string(error));
  for (const std::string& r : records) {
    if (QDK_ExtWrite(file, r.data(), static_cast<int32_t>(r.size()), nullptr, 0,
                     TMBIO_WRITE_INSERT, 0) <= 0) {
      SetupFailed(std::string(name) + ": insert failed");
    }
  }
  if (!dictionary_entry.empty() &&
      QDK_dict_add(file, 0, dictionary_entry.data(),
                   static_cast<int16_t>(dictionary_entry.size())) != 0) {
    SetupFailed(std::string(name) + ": dictionary entry refused");
  }
  QDK_close(file);
  QDK_DeAllocEnv(env);
}

void MakeRegistry(const std::string& dir) {
  std::string machine = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string root = "[HKEY_LOCAL_MACHINE\\Software\\Orlane Systems\\SQL Server";
  machine += root + "]\r\n\"ViewLib\"=\"views\"\r\n\r\n";
  machine += root + "\\Catalogs]\r\n";
  machine += "\"Demo\"=\"*[" + dir + "/demo][second][third]\"\r\n";
  machine += "\"Guarded\"=\"[" + dir + "/guarded][][]\"\r\n\r\n";
  machine += root + "\\Security]\r\n";
  machine += "\"ada/*\"=\"[A][RW][;people;notes][*]\"\r\n";
  machine += "\"*/*\"=\"[D][R][*][]\"\r\n";
  WriteFile(dir + "/machine.reg", machine);
  setenv("TMB_MACHINE_REGISTRY", (dir + "/machine.reg").c_str(), 1);
  // No user hive: every lookup falls through to the machine's.
  setenv("TMB_USER_REGISTRY", (dir + "/user.reg").c_str(), 1);
}

}  // namespace

DemoCatalog::DemoCatalog(const std::string& dir) : dir_(dir) {
  MakeRegistry(dir);
  const std::string demo = dir + "/demo";
  const std::string guarded = dir + "/guarded";
  fs::create_directories(demo);
  fs::create_directories(guarded);

  Schema people;
  people.description = "people";
  people.kind = TMBIO_KIND_EXTENDED;
  people.record_length = 40;
  people.Field("id", "int", 0, 4).Field("name", "char", 4, 20).Field("city", "char", 24, 8);
  people.Field("since", "date", 32, 8);
  people.Key("by_id", "id", TMBIO_SEG_SIGNED).Key("by_name", "name", TMBIO_SEG_NOCASE, false);
  Create(demo + "/people.tmb", people.Definition());

  Schema notes;
  notes.description = "notes";
  notes.kind = TMBIO_KIND_CLASSIC;
  notes.record_length = 8;
  notes.variable_length = 300;
  notes.Field("id", "int", 0, 4).Field("tag", "char", 4, 4);
  notes.Key("by_tag", "tag", 0, false).Key("by_id", "id", TMBIO_SEG_UNSIGNED);
  Create(demo + "/notes.tmb", notes.Definition());

  Schema secret;
  secret.description = "secret";
  secret.kind = TMBIO_KIND_PLAIN;
  secret.record_length = 8;
  secret.Field("id", "int", 0, 4).Field("pin", "binary", 4, 4);
  secret.Key("by_id", "id", TMBIO_SEG_SIGNED);
  Create(guarded + "/secret.tmb", secret.Definition());

  std::vector<std::string> people_records;
  const char* names[] = {"ada", "bob", "cyd", "dee", "eve", "bob"};
  for (int i = 0; i < 6; ++i) {
    people_records.push_back(Int32Le(i + 1) + Padded(names[i], 20) + Padded("town", 8) +
                             "2024010" + std::to_string(i + 1));
  }
  Fill(demo, "people", people_records, "first entry");
  Fill(demo, "notes",
       {Int32Le(1) + "aaaa", Int32Le(2) + "bbbb" + std::string(200, 'x'),
        Int32Le(3) + "aaaa" + std::string(300, 'y')},
       "");

  Fill(guarded, "secret", {Int32Le(7) + "1234"}, "");
  // Written after the file is filled: from now on it opens only after a logon.
  WriteFile(guarded + "/tmbusers", tmbio::MakeUserLine("anna", "pw", "role=fuzz", 1) + "\n");

  for (const char* path : {"/demo/people.tmb", "/demo/notes.tmb", "/guarded/secret.tmb"}) {
    pristine_.emplace_back(dir + path, ReadFile(dir + path));
  }
}

void DemoCatalog::Restore() const {
  for (const auto& [path, bytes] : pristine_) {
    std::error_code ignored;
    fs::remove(path + "-wal", ignored);
    fs::remove(path + "-shm", ignored);
    WriteFile(path, bytes);
  }
}

}  // namespace tmb::test
