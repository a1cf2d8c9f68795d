// Handlers that create and release data-library environments, look up their
// catalogs and drive their transactions.
#pragma once

#include <cstdint>

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

}  // namespace tmb
