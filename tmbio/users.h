// The users file `tmbusers` of a data directory: one user a line,
// name:iterations:salt:hash:attributes, hash = hex PBKDF2-HMAC-SHA256 of the
// password with the hex salt and that many iterations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tmbio {

// The users file of `dir`.
std::string UsersFilePath(const std::string& dir);
// True when `dir` holds a users file (then every open needs a logon).
bool UsersDefined(const std::string& dir);

// Checks a name and password against the users file of `dir`. Names compare
// ignoring ASCII case. Returns true and the line's attributes when they
// match; false for a wrong name or password, and also when the file cannot
// be read or the user's line is malformed (a logon fails closed).
bool CheckUser(const std::string& dir, std::string_view name, std::string_view password,
               std::string* attributes);

// MakeUserLine (admin.h) writes the lines. A line asking for more is refused: it would let a users file stall logons.
constexpr uint32_t kMaxIterations = 10000000;

}  // namespace tmbio
