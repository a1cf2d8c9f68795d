// Finds the line of a schema that a definition error is about. The library
// names the place of an error by the schema's members ("key by_name:
// segment 2: ..."); a user editing the file wants its line.
#pragma once

#include <string_view>

namespace tmbadmin {

// The line (from 1) of the member of `json` (a schema that parses) that
// `error` begins by naming: "field NAME" or "field N", "key NAME" or
// "key N", optionally followed by "segment N", or a top-level member named
// anywhere in the message. 0 when the error names nothing found.
int SchemaErrorLine(std::string_view json, std::string_view error);

}  // namespace tmbadmin
