// What a connection may do when the access entries are enforced
// (config/settings.h, ReadEnforceAccess). Without enforcement the entries
// only inform the client, and nothing here refuses anything.
//
// A connection earns its rights with IdentifyClient: the access check's
// bits (secure/access_check.h) for its two resource names, which name
// catalogs. The rights last until the connection identifies again. A file
// belongs to the catalogs whose data directory holds it; the connection may
// read it when it may read one of them, and write it when it may write one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tmb {

// Whether the access entries are enforced in this run: the registry's
// setting, read once, the first time a request asks.
bool AccessEnforced();

// A file this connection opened, and the catalogs that hold it.
struct OpenedFile {
  int32_t id = 0;
  std::vector<std::string> catalogs;
};

struct ConnectionRights {
  // Set by an IdentifyClient that was admitted; the names as the client sent
  // them.
  bool identified = false;
  std::string identity1, identity2;
  std::string resource1, resource2;
  int32_t granted = 0;  // access check bits; never negative
  // Kept only while access is enforced: every write asks for its file's
  // catalogs again, since the rights may have changed since the open.
  std::vector<OpenedFile> files;
};

// The rights an IdentifyClient earns: `check` is the access check's result
// (negative: no entry applies, which grants nothing).
void EarnRights(ConnectionRights* rights, const char* identity1, const char* identity2,
                const char* resource1, const char* resource2, int32_t check);
// What a refused IdentifyClient leaves: nothing. Open files stay noted.
void DropRights(ConnectionRights* rights);

// Whether the rights allow reading (writing) the catalog of that name.
// Catalog names compare ignoring case, as catalogs are found by name.
bool MayReadCatalog(const ConnectionRights& rights, std::string_view catalog);
bool MayWriteCatalog(const ConnectionRights& rights, std::string_view catalog);
// The same for a file held by all of `catalogs`: one of them is enough.
bool MayRead(const ConnectionRights& rights, std::span<const std::string> catalogs);
bool MayWrite(const ConnectionRights& rights, std::span<const std::string> catalogs);

// Whether an open in the data library's open mode `mode` needs the right to
// write: every open but a read-only one does, and so does an exclusive one,
// which keeps every writer out.
bool OpenNeedsWrite(int32_t mode);

// A catalog as the environment's table holds it.
struct CatalogDirectory {
  std::string name;
  std::string directory;  // its data directory, as the registry gives it
};

// The path the data library opens for the file `name` in an environment
// whose data directory is `data_dir`: a relative name is taken in the data
// directory, and ".tmb" (in any case) is added when the name does not end
// so.
std::string LibraryPath(std::string_view data_dir, std::string_view name);

// The directory as the file system names it: symbolic links, "." and ".."
// resolved. Empty when it does not exist.
std::string ResolvedDirectory(const std::string& directory);
// The directory that holds the file at `path`, resolved, after the file's
// own symbolic link when it is one. Empty when there is no such directory.
std::string HoldingDirectory(const std::string& path);

// The names of the catalogs whose data directory is `resolved` (a result of
// ResolvedDirectory or HoldingDirectory; empty matches nothing).
std::vector<std::string> CatalogsAt(std::string_view resolved,
                                    std::span<const CatalogDirectory> catalogs);

// Whether the list of administrators names the identity: items separated
// by ";", blanks around them ignored, each "FIRST/SECOND" with "*" for any
// name. Names compare ignoring case, as the access entries are found.
bool NamesAdministrator(std::string_view list, std::string_view identity1,
                        std::string_view identity2);

// Whether the connection's latest identification names an administrator
// in the Security key's "Administrators" value, read afresh at every call.
bool IsAdministrator(const ConnectionRights& rights);

// A process-wide lock wait request (tenths of a second) held to the cap
// (milliseconds; at most whole tenths of it count). Requests below 0 are
// the data library's to refuse and pass unchanged.
int16_t CappedLockWait(int16_t tenths, int32_t max_ms);

}  // namespace tmb
