// Test support: the demo shop catalog (customers, products, orders) as
// scripts/serve-demo.sh builds it from resources/demo, for tests that run
// tmbcli or the SQL view against a real server.
#pragma once

#include <string>

namespace tmb::test {

// The demo registry (resources/demo/machine.reg.in) with its catalog's data
// folder set to `data_dir`.
std::string DemoShopHive(const std::string& data_dir);

// Makes `data_dir` and fills it with the demo's three data files, with
// tmbadmin's demo records. False with *error when a step fails.
bool BuildDemoShop(const std::string& data_dir, std::string* error);

// Makes the data file `name` (".tmb" added) in `data_dir` from a schema's
// JSON text, as tmbadmin create does.
bool CreateDataFile(const std::string& data_dir, const std::string& name,
                    const std::string& schema_json, std::string* error);

class ServerProcess;

// Builds the demo shop in `server`'s folder ("data"), names it in the
// server's machine hive with `settings` as further lines of the settings
// key, and starts the server. False with *error when a step fails.
bool StartDemoShop(ServerProcess* server, const std::string& settings, std::string* error);

// One demo shop server for the whole process (benchmarks), started on first
// use with no further settings and stopped at exit; aborts with a line on
// standard error when it cannot start.
ServerProcess& SharedDemoShop();

// Adds a user to the catalog's users file: from then on its files need a
// logon.
bool AddDemoUser(const std::string& data_dir, const std::string& name,
                 const std::string& password, std::string* error);

}  // namespace tmb::test
