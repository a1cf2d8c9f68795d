// Handlers that read and change data-library settings: those of one
// environment, and the process-wide ones (no environment named).
#pragma once

#include <cstdint>

#include "tmbio/tmbio.h"

namespace tmb {

struct Session;

// Opcode 65: replies the low 32 bits of the environment's setting, or -1
// without asking the library for the modes that give addresses or texts
// (-7, -1, 6, 7, 8, 9, 12, 16, 17, 18, 19, 25).
void GetEnvMode(Session& s);
// Opcode 37: changes a setting of the environment; the value is a text for
// modes 6, 7, 8, 12, 16, 17, 18, 19, 21 and 25, else an i32. Replies the low
// 32 bits of the library's result, except for the text modes other than 21,
// whose result is an address or 0: they reply 0. While access is enforced,
// a data directory (8) or catalog (21) the connection may not read is
// refused with TMBIO_DENIED (handlers/environment.h).
void SetEnvMode(Session& s);
// Opcodes 18 and 17: process-wide numeric settings 1 (lock wait, held to
// the registry's "MaxLockWait") and 2 (trace) from an i16; reply the result
// cut to 16 bits and sign-extended to i32.
void SetGlobalMode1(Session& s);
void SetGlobalMode2(Session& s);
// Opcodes 32 and 31: process-wide text settings 6 and 7 (the application
// name, stored with its control bytes written out); reply i32 0, then the
// text the library returned, if any.
void SetGlobalText6(Session& s);
void SetGlobalText7(Session& s);
// While access is enforced, opcodes 17, 18, 31 and 32 from a connection
// that is not identified as an administrator change nothing and reply i32
// TMBIO_DENIED alone.

// The answer to GetEnvMode and SetEnvMode for an environment id that is not
// this connection's: the library's status for an invalid handle.
constexpr int32_t kNotThisConnectionsEnvironment = TMBIO_INVALID;

}  // namespace tmb
