#include "tests/e2e/demo_shop.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/e2e/server_process.h"

namespace tmb::test {

std::string DemoShopHive(const std::string& data_dir) {
  std::ifstream in(std::string(TMB_SOURCE_DIR) + "/resources/demo/machine.reg.in",
                   std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  std::string hive = s.str();
  const std::string mark = "@DEMO_DATA@";
  for (size_t at; (at = hive.find(mark)) != std::string::npos;) {
    hive.replace(at, mark.size(), data_dir);
  }
  return hive;
}

bool BuildDemoShop(const std::string& data_dir, std::string* error) {
  mkdir(data_dir.c_str(), 0755);
  // The tool's own files stay out of the catalog's folder.
  const std::string work = data_dir.substr(0, data_dir.find_last_of('/'));
  const std::string csv = work + "/demo-csv";
  ProgramRun r = RunProgram(TMB_ADMIN_BIN, {"demo", csv}, work);
  if (r.code != 0) {
    *error = "tmbadmin demo: " + r.err;
    return false;
  }
  for (const char* table : {"customers", "products", "orders"}) {
    const std::string file = data_dir + "/" + table + ".tmb";
    const std::string schema = std::string(TMB_SOURCE_DIR) + "/resources/demo/" + table + ".json";
    r = RunProgram(TMB_ADMIN_BIN, {"create", file, schema}, work);
    if (r.code == 0) {
      r = RunProgram(TMB_ADMIN_BIN, {"load", file, csv + "/" + table + ".csv"}, work);
    }
    if (r.code != 0) {
      *error = std::string("building ") + table + ": " + r.err;
      return false;
    }
  }
  return true;
}

bool CreateDataFile(const std::string& data_dir, const std::string& name,
                    const std::string& schema_json, std::string* error) {
  const std::string work = data_dir.substr(0, data_dir.find_last_of('/'));
  const std::string schema = work + "/" + name + ".json";
  std::ofstream(schema, std::ios::trunc) << schema_json;
  const ProgramRun r =
      RunProgram(TMB_ADMIN_BIN, {"create", data_dir + "/" + name + ".tmb", schema}, work);
  if (r.code != 0) *error = "tmbadmin create: " + r.err;
  return r.code == 0;
}

ServerProcess& SharedDemoShop() {
  static std::unique_ptr<ServerProcess> server = [] {
    auto s = std::make_unique<ServerProcess>();
    std::string error;
    if (!StartDemoShop(s.get(), "", &error)) {
      std::fprintf(stderr, "demo shop: %s\n", error.c_str());
      std::abort();
    }
    return s;
  }();
  return *server;
}

bool StartDemoShop(ServerProcess* server, const std::string& settings, std::string* error) {
  const std::string data = server->dir() + "/data";
  if (!BuildDemoShop(data, error)) return false;
  std::string hive = DemoShopHive(data);
  const size_t key = hive.find("\\SQL Server]");
  const size_t line_end = key == std::string::npos ? key : hive.find('\n', key);
  if (line_end == std::string::npos) {
    *error = "the demo registry has no settings key";
    return false;
  }
  hive.insert(line_end + 1, settings);
  server->machine_hive = hive;
  if (!server->Start()) {
    *error = "the server did not start: " + server->Stderr();
    return false;
  }
  return true;
}

bool AddDemoUser(const std::string& data_dir, const std::string& name,
                 const std::string& password, std::string* error) {
  const ProgramRun r = RunProgram(TMB_ADMIN_BIN, {"adduser", data_dir, name, password},
                                  data_dir.substr(0, data_dir.find_last_of('/')));
  if (r.code != 0) *error = "tmbadmin adduser: " + r.err;
  return r.code == 0;
}

}  // namespace tmb::test
