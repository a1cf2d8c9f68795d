// The directories a client may reach on the server machine, through the
// host-file services and through file opens: the data directory of every
// catalog (the first text of its entry) and the directories the
// "HostFileRoots" setting lists. Relative ones are taken from the server's
// working directory, as the data library takes a relative data directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/path_roots.h"
#include "tmbio/tmbio.h"

namespace tmb {

// Room for "HostFileRoots", terminator included.
constexpr uint32_t kHostFileRootsSize = 4096;

// "HostFileRoots" of the settings key, current user first: a text of
// directories separated by ';', blanks around each ignored, empty ones
// skipped. An empty value, or one that does not fit its room, falls through
// to the machine's (a cut value could name another directory); a value that
// is not a text lists none.
std::vector<std::string> ReadHostFileRoots();

// Adds the data directory of each entry of table[0, count) that has one.
void AddCatalogRoots(const TMBCatalogEntry* table, int32_t count, platform::PathRoots* roots);

// The roots as the registry has them now: the catalogs as ReadCatalogs reads
// them, and "HostFileRoots". The host-file services belong to no environment
// and read them at every request, so that a catalog added or removed counts
// from the next request on.
platform::PathRoots ReadDataRoots();

// The roots of the opens in `env`: the catalogs it was given when it was
// allocated (those its data directory and catalog modes choose from), and
// "HostFileRoots" as the registry has it now.
platform::PathRoots EnvironmentDataRoots(const TMBEnvironment& env);

}  // namespace tmb
