// Handlers that log a user on to an environment and off again.
#pragma once

namespace tmb {

struct Session;

// Opcode 67: status i32; the blob as i32 length then counted bytes (the
// length twice), or a single i32 0 without one; the result word; the
// environment's logon text when the result word is 2; the message.
void Logon(Session& s);
// Opcode 68: status i32, out word i32, message.
void Logoff(Session& s);

}  // namespace tmb
