// Wire ids name library objects; a connection reaches only the objects of
// the environments it allocated. So no two session threads ever use one
// object at once, and none uses one that its owner's disconnect is freeing.
#pragma once

#include <cstdint>

#include "tmbio/tmbio.h"

namespace tmb {

struct Session;

// The object with that wire id when this connection owns it; null otherwise
// (the handlers then answer as for an unknown id).
TMBEnvironment* OwnEnvironment(const Session& s, int32_t id);
TMBFile* OwnFile(const Session& s, int32_t id);
TMBSqlHandle* OwnSqlHandle(const Session& s, int32_t id);

}  // namespace tmb
