// The SQLite virtual-table module over a Session: declares every table of
// the catalog in the connection's temp schema, answers xBestIndex with
// plan.h's choice, reads through cursor.h, writes with the server's write,
// update and remove requests (the rowid is the record's position), and maps
// SQLite's transaction calls onto the server's. A status of the server
// becomes the statement's error, never a partial answer.
#pragma once

#include <string>

#include "client/sql/session.h"

struct sqlite3;

namespace tmb::sql {

// Registers the module on `db` and declares the session's tables. The
// session must outlive the connection.
bool DeclareTables(sqlite3* db, Session* session, std::string* error);

}  // namespace tmb::sql
