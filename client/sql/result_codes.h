// The SQLite result codes a write to the SQL view's tables fails with: one
// for each kind of failure an application tells apart, so that a caller
// (the ODBC driver's SQLSTATEs) reads the kind from the code and never from
// the wording of the message, which is for people.
//
// SQLite's own codes where one fits. For a value out of a field's range and
// a value that is no date SQLite has none: they are extended codes of
// SQLITE_MISMATCH, which SQLite itself does not extend (the high numbers
// stay clear of any it may add), so that a caller reading primary codes
// only still sees a value the column cannot take.
#pragma once

#include <sqlite3.h>

namespace tmb::sql {

// NULL into a field that is not nullable.
constexpr int kResultNotNull = SQLITE_CONSTRAINT_NOTNULL;
// A second record with the value of a unique key.
constexpr int kResultDuplicateKey = SQLITE_CONSTRAINT_UNIQUE;
// A text or blob longer than its field.
constexpr int kResultTooLong = SQLITE_TOOBIG;
// A value that is no number for an integer field (a text, a fraction, a blob).
constexpr int kResultNotANumber = SQLITE_MISMATCH;
// A number outside what its integer field holds.
constexpr int kResultOutOfRange = SQLITE_MISMATCH | (64 << 8);
// A value that is no date, or no real day, for a date field.
constexpr int kResultNotADate = SQLITE_MISMATCH | (65 << 8);
// The record is locked by another client, or its file is held by another
// client's transaction, past the connection's lock wait.
constexpr int kResultConflict = SQLITE_BUSY;

// A statement the view refuses before it runs (SQLITE_AUTH): DDL, and
// savepoints, that would act on this connection alone (docs/sql.md).
// SQLite's own words for it are "not authorized"; callers that show a
// message say this instead.
inline constexpr char kSchemaChangeRefused[] =
    "not authorized: tables, indexes, views and triggers live on the server, which takes no "
    "CREATE, DROP or ALTER over SQL (make tables with tmbadmin create), and no SAVEPOINT; TEMP "
    "objects are this connection's own";

}  // namespace tmb::sql
