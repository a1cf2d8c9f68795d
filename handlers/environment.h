// Handlers that create and release data-library environments, look up their
// catalogs and drive their transactions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tmbio/tmbio.h"

namespace tmb {

struct Session;

// Opcode 38: allocates an environment owned by this connection and fills its
// catalog table and view library from the registry; replies its id, or 0
// when the library gives none.
void AllocEnv(Session& s);
// Opcode 39: releases an environment; replies i32 0.
void DeAllocEnv(Session& s);
// Opcode 70: replies found (1 or 0), text1, text2, text3 and the view
// library of the catalog named (ignoring case), or of the first catalog
// marked default for the name "default"; four empty texts when none fits.
void GetCatalog(Session& s);
// Opcodes 48, 49, 50: begin, commit and roll back the environment's
// transaction; reply the library's status.
void BeginTX(Session& s);
void CommitTX(Session& s);
void RollbackTX(Session& s);

// The access entries where the environment's catalogs are reached. They
// decide only while enforced (secure/rights.h); otherwise every answer is
// yes and nothing is kept. A null environment or file, which names nothing
// of this connection's, is let through for the library to refuse.

// What an OpenFile may do: whether it may open, and the catalogs that hold
// the file.
struct OpenAccess {
  bool allowed = true;
  std::vector<std::string> catalogs;
};
// Decides an open of `name` in open mode `mode`: the file must belong to a
// catalog of the environment's table that the connection may read, and to
// one it may write unless the open is read-only (secure/rights.h,
// OpenNeedsWrite). The file is found as the library will find it, by its
// path with links, "." and ".." resolved.
OpenAccess DecideOpen(const Session& s, TMBEnvironment* env, const char* name, int32_t mode);
// Notes the file an allowed open gave, for the writes through it.
void NoteOpened(Session& s, const TMBFile& file, OpenAccess access);
// Whether a write through `file` (a record written or removed, a dictionary
// entry added) is allowed by the rights the connection holds now.
bool MayWriteFile(const Session& s, const TMBFile* file);
// Whether the environment may take `directory` as its data directory
// (SetEnvMode 8): it must be the data directory of a catalog the connection
// may read.
bool MayUseDataDirectory(const Session& s, const TMBEnvironment* env, const char* directory);
// Whether the environment may select the catalog named `name` (SetEnvMode
// 21): one the connection may read, or one the table does not have, which
// the library refuses.
bool MaySelectCatalog(const Session& s, const TMBEnvironment* env, const char* name);

}  // namespace tmb
