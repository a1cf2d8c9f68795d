#include "client/sql/module.h"

#include <sqlite3.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <new>

#include "client/data_calls.h"
#include "client/sql/cursor.h"
#include "client/sql/plan.h"
#include "client/sql/result_codes.h"
#include "client/sql/value_codec.h"
#include "tmbio/tmbio.h"

namespace tmb::sql {
namespace {

constexpr char kModuleName[] = "tmb_table";

struct VTab : sqlite3_vtab {
  sqlite3* db = nullptr;
  Session* session = nullptr;
  size_t table = 0;
};

struct VCursor : sqlite3_vtab_cursor {
  std::unique_ptr<Cursor> cursor;
};

std::string Quoted(const std::string& name) {
  std::string q = "\"";
  for (char c : name) {
    q += c;
    if (c == '"') q += '"';
  }
  return q + "\"";
}

const char* DeclaredType(ColumnType type) {
  switch (type) {
    case ColumnType::kInteger: return "INTEGER";
    case ColumnType::kBinary: return "BLOB";
    default: return "TEXT";
  }
}

int Fail(sqlite3_vtab* vtab, const std::string& message, int code = SQLITE_ERROR) {
  sqlite3_free(vtab->zErrMsg);
  vtab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
  return code;
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
            char** err) {
  auto* session = static_cast<Session*>(aux);
  size_t index = 0;
  const char* arg = argc > 3 ? argv[3] : "";
  const auto r = std::from_chars(arg, arg + std::strlen(arg), index);
  if (r.ec != std::errc() || index >= session->tables().size()) {
    *err = sqlite3_mprintf("no such table of the catalog: %s", arg);
    return SQLITE_ERROR;
  }
  const Table& t = session->tables()[index].table;
  std::string sql = "CREATE TABLE x(";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (i != 0) sql += ", ";
    sql += Quoted(t.columns[i].name) + " " + DeclaredType(t.columns[i].type);
  }
  if (t.columns.empty()) sql += "\"\" BLOB HIDDEN";  // a table needs a column
  sql += ")";
  const int rc = sqlite3_declare_vtab(db, sql.c_str());
  if (rc != SQLITE_OK) {
    *err = sqlite3_mprintf("cannot declare %s: %s", t.name.c_str(), sqlite3_errmsg(db));
    return rc;
  }
  auto* vtab = new (std::nothrow) VTab;
  if (vtab == nullptr) return SQLITE_NOMEM;
  vtab->db = db;
  vtab->session = session;
  vtab->table = index;
  *out = vtab;
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* vtab) {
  delete static_cast<VTab*>(vtab);
  return SQLITE_OK;
}

ConstraintOp OpOf(unsigned char op) {
  switch (op) {
    case SQLITE_INDEX_CONSTRAINT_EQ: return ConstraintOp::kEq;
    case SQLITE_INDEX_CONSTRAINT_LT: return ConstraintOp::kLt;
    case SQLITE_INDEX_CONSTRAINT_LE: return ConstraintOp::kLe;
    case SQLITE_INDEX_CONSTRAINT_GT: return ConstraintOp::kGt;
    case SQLITE_INDEX_CONSTRAINT_GE: return ConstraintOp::kGe;
    default: return ConstraintOp::kOther;
  }
}

int BestIndex(sqlite3_vtab* base, sqlite3_index_info* info) {
  auto* vtab = static_cast<VTab*>(base);
  const TableLayout& t = vtab->session->tables()[vtab->table];
  std::vector<PlanConstraint> constraints(static_cast<size_t>(info->nConstraint));
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    // Keys order bytes: a comparison under another collation (NOCASE, ...)
    // may hold for records a seek would pass over.
    const char* collation = sqlite3_vtab_collation(info, i);
    const bool binary = collation == nullptr || sqlite3_stricmp(collation, "BINARY") == 0;
    constraints[static_cast<size_t>(i)] = {c.iColumn, OpOf(c.op), c.usable != 0 && binary};
  }
  std::vector<PlanOrder> order;
  for (int i = 0; i < info->nOrderBy; ++i) {
    // The rowid (-1) orders like no key: leave such an ORDER BY to SQLite.
    order.push_back({info->aOrderBy[i].iColumn < 0 ? -2 : info->aOrderBy[i].iColumn,
                     info->aOrderBy[i].desc != 0});
  }
  const Plan plan = ChoosePlan(t, constraints, order);
  for (int i = 0; i < info->nConstraint; ++i) {
    info->aConstraintUsage[i].argvIndex = plan.argv[static_cast<size_t>(i)];
    info->aConstraintUsage[i].omit = 0;
  }
  info->idxNum = plan.ToIndexNumber();
  info->orderByConsumed = plan.ordered && !order.empty() ? 1 : 0;
  info->estimatedCost = plan.cost;
  info->estimatedRows = plan.rows;
  if (plan.unique) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
  return SQLITE_OK;
}

int Open(sqlite3_vtab* base, sqlite3_vtab_cursor** out) {
  auto* vtab = static_cast<VTab*>(base);
  auto* c = new (std::nothrow) VCursor;
  if (c == nullptr) return SQLITE_NOMEM;
  c->cursor = std::make_unique<Cursor>(*vtab->session, vtab->table);
  *out = c;
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* c) {
  delete static_cast<VCursor*>(c);
  return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* base, int number, const char*, int argc, sqlite3_value** argv) {
  auto* c = static_cast<VCursor*>(base);
  std::string error;
  if (!c->cursor->Start(Plan::FromIndexNumber(number), argc, argv, &error)) {
    static_cast<VTab*>(base->pVtab)->session->StatementFailed();
    return Fail(base->pVtab, error);
  }
  return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* base) {
  auto* c = static_cast<VCursor*>(base);
  std::string error;
  if (!c->cursor->Next(&error)) {
    static_cast<VTab*>(base->pVtab)->session->StatementFailed();
    return Fail(base->pVtab, error);
  }
  return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* base) { return static_cast<VCursor*>(base)->cursor->eof() ? 1 : 0; }

int ColumnValue(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int i) {
  auto* c = static_cast<VCursor*>(base);
  auto* vtab = static_cast<VTab*>(base->pVtab);
  const TableLayout& t = vtab->session->tables()[vtab->table];
  if (i < 0 || static_cast<size_t>(i) >= t.fields.size()) {
    sqlite3_result_null(ctx);
    return SQLITE_OK;
  }
  ResultOfField(ctx, t.fields[static_cast<size_t>(i)],
                t.table.columns[static_cast<size_t>(i)].nullable, c->cursor->record());
  return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid) {
  auto* c = static_cast<VCursor*>(base);
  int32_t position = 0;
  std::string error;
  if (!c->cursor->Position(&position, &error)) {
    static_cast<VTab*>(base->pVtab)->session->StatementFailed();
    return Fail(base->pVtab, error);
  }
  *rowid = position;
  return SQLITE_OK;
}

// Whether column `c` is a segment of an autoincrement key: an insert given
// 0 (or NULL, written as 0) there gets the key's next number from the server.
bool Autoincrement(const Table& t, size_t c) {
  for (const Key& k : t.keys) {
    for (const KeySegment& s : k.segments) {
      if (s.column == static_cast<int32_t>(c) && (s.flags & TMBIO_SEG_AUTOINC) != 0) return true;
    }
  }
  return false;
}

// The record of a write: `record` (the old record, or zeros for an insert)
// with the columns from argv[2] on written over it. An update passes every
// column, changed or not: a column that reads as its value already keeps
// its bytes, so that a field another client left in a form the view would
// not write (a blank date in a NOT NULL column, zero bytes after a text)
// does not fail the update of another column. SQLITE_OK, or the result
// code with *error naming table and column; the write then fails at this
// row, before anything is sent.
int BuildRecord(const TableLayout& t, bool insert, int argc, sqlite3_value** argv,
                std::string* record, std::string* error) {
  std::span<uint8_t> bytes(reinterpret_cast<uint8_t*>(record->data()), record->size());
  for (size_t i = 0; i < t.fields.size() && static_cast<int>(i) + 2 < argc; ++i) {
    const bool nullable = t.table.columns[i].nullable;
    if (!insert && FieldHolds(t.fields[i], nullable, argv[i + 2], bytes)) continue;
    const bool empty_ok = nullable || (insert && Autoincrement(t.table, i));
    const int rc = WriteField(t.fields[i], empty_ok, argv[i + 2], bytes, error);
    if (rc != SQLITE_OK) {
      *error = t.table.name + ": " + *error;
      return rc;
    }
  }
  return SQLITE_OK;
}

// The result code of a status of the server a write ends with.
int WriteFailure(int32_t status) {
  switch (status) {
    case TMBIO_DUPLICATE: return kResultDuplicateKey;
    case TMBIO_LOCKED:
    case TMBIO_BUSY: return kResultConflict;
    default: return SQLITE_ERROR;
  }
}

// Makes the record at `rowid` current on `file` and reads it; a rowid no
// record has is an error.
bool ReadAt(Session& s, size_t t, const FileHandle& file, sqlite3_int64 rowid, std::string* record,
            std::string* error) {
  bool found = false;
  if (rowid >= 1 && rowid <= INT32_MAX &&
      !s.ReadAt(t, file, static_cast<int32_t>(rowid), record, &found, error)) {
    return false;
  }
  if (!found) *error = s.tables()[t].table.name + ": no row has rowid " + std::to_string(rowid);
  return found;
}

int WriteRow(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  auto* vtab = static_cast<VTab*>(base);
  Session& s = *vtab->session;
  const size_t t = vtab->table;
  const TableLayout& layout = s.tables()[t];
  if (!s.writable()) {
    return Fail(base, layout.table.name + ": the server's access entry for this client allows "
                                          "reading only",
                SQLITE_READONLY);
  }
  std::string error;
  FileHandle file;
  if (!s.Acquire(t, &file, &error)) return Fail(base, error);
  struct Give {
    Session& s;
    size_t t;
    FileHandle& f;
    ~Give() { s.Release(t, f); }
  } give{s, t, file};

  const bool insert = sqlite3_value_type(argv[0]) == SQLITE_NULL;
  int32_t status = 0;
  if (argc == 1) {  // DELETE
    std::string record;
    if (!ReadAt(s, t, file, sqlite3_value_int64(argv[0]), &record, &error)) {
      return Fail(base, error);
    }
    if (!CallRemoveRecord(s.client(), file.id, "", &status, &error)) return Fail(base, error);
    if (status < 0) return Fail(base, s.Failure(t, "removing", status), WriteFailure(status));
    return SQLITE_OK;
  }
  if (sqlite3_value_type(argv[1]) != SQLITE_NULL &&
      (insert || sqlite3_value_int64(argv[1]) != sqlite3_value_int64(argv[0]))) {
    return Fail(base, layout.table.name + ": the rowid is the record's position; it cannot be set",
                SQLITE_CONSTRAINT);
  }
  std::string record;
  if (insert) {
    record.assign(static_cast<size_t>(layout.table.record_length), '\0');
  } else if (!ReadAt(s, t, file, sqlite3_value_int64(argv[0]), &record, &error)) {
    return Fail(base, error);
  }
  const int built = BuildRecord(layout, insert, argc, argv, &record, &error);
  if (built != SQLITE_OK) return Fail(base, error, built);
  if (!CallExtWrite(s.client(), file.id, record, "",
                    insert ? TMBIO_WRITE_INSERT : TMBIO_WRITE_UPDATE, 0, &status, &error)) {
    return Fail(base, error);
  }
  if (status < 0) {
    return Fail(base, s.Failure(t, insert ? "inserting" : "updating", status),
                WriteFailure(status));
  }
  if (insert) *rowid = status;
  return SQLITE_OK;
}

// One row of an INSERT, UPDATE or DELETE, as one write of its statement:
// the first write marks the statement, and a failure takes back every
// write of the statement (session.h).
int Update(sqlite3_vtab* base, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  auto* vtab = static_cast<VTab*>(base);
  Session& s = *vtab->session;
  std::string error;
  if (!s.BeforeWrite(sqlite3_get_autocommit(vtab->db) == 0, &error)) {
    s.StatementFailed();
    return Fail(base, error);
  }
  const int rc = WriteRow(base, argc, argv, rowid);
  if (rc == SQLITE_OK) {
    s.Wrote();
  } else {
    // SQLite aborts the statement at a table's refusal, whatever its OR
    // clause: the whole statement goes.
    s.StatementFailed();
  }
  return rc;
}

int Begin(sqlite3_vtab* base) {
  std::string error;
  if (!static_cast<VTab*>(base)->session->Begin(&error)) return Fail(base, error);
  return SQLITE_OK;
}

// The server commits at the first table's sync: a failure there still
// rolls the statement back, which it no longer could at xCommit.
int Sync(sqlite3_vtab* base) {
  std::string error;
  if (!static_cast<VTab*>(base)->session->End(true, &error)) return Fail(base, error);
  return SQLITE_OK;
}

int Commit(sqlite3_vtab* base) { return Sync(base); }

int Rollback(sqlite3_vtab* base) {
  std::string error;
  if (!static_cast<VTab*>(base)->session->End(false, &error)) return Fail(base, error);
  return SQLITE_OK;
}

sqlite3_module MakeModule() {
  sqlite3_module m{};
  m.iVersion = 1;
  m.xCreate = Connect;
  m.xConnect = Connect;
  m.xBestIndex = BestIndex;
  m.xDisconnect = Disconnect;
  m.xDestroy = Disconnect;
  m.xOpen = Open;
  m.xClose = Close;
  m.xFilter = Filter;
  m.xNext = Next;
  m.xEof = Eof;
  m.xColumn = ColumnValue;
  m.xRowid = Rowid;
  m.xUpdate = Update;
  m.xBegin = Begin;
  m.xSync = Sync;
  m.xCommit = Commit;
  m.xRollback = Rollback;
  return m;
}

const sqlite3_module kModule = MakeModule();

}  // namespace

namespace {

// Statement starts and ends, for the statements' marks (session.h). A
// trigger's program starts with a comment; it is part of its statement.
int Trace(unsigned type, void* context, void* statement, void* text) {
  auto* session = static_cast<Session*>(context);
  if (type == SQLITE_TRACE_STMT) {
    const char* sql = static_cast<const char*>(text);
    if (sql == nullptr || std::strncmp(sql, "--", 2) != 0) session->StatementBegins();
  } else if (type == SQLITE_TRACE_PROFILE) {
    session->StatementEnds(sqlite3_changes64(sqlite3_db_handle(static_cast<sqlite3_stmt*>(statement))));
  }
  return 0;
}

// Tables, indexes, views and triggers live on the server, which takes no
// DDL over the wire: made here they would exist only in this connection
// and shadow or pretend to change the server's. So would savepoints. Temporary ones are the
// connection's own by definition, and stay allowed, as long as they leave
// the catalog's tables alone.
int Authorize(void* context, int action, const char* a, const char* b, const char*, const char*) {
  auto* session = static_cast<Session*>(context);
  auto catalog_table = [&](const char* name) {
    if (name == nullptr) return false;
    for (const TableLayout& t : session->tables()) {
      if (sqlite3_stricmp(t.table.name.c_str(), name) == 0) return true;
    }
    return false;
  };
  switch (action) {
    case SQLITE_CREATE_TABLE:
    case SQLITE_CREATE_INDEX:
    case SQLITE_CREATE_VIEW:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_TABLE:
    case SQLITE_DROP_INDEX:
    case SQLITE_DROP_VIEW:
    case SQLITE_DROP_TRIGGER:
    case SQLITE_DROP_VTABLE:
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
    // The server keeps one mark per transaction, the statement's own: a
    // savepoint of SQLite's would roll back this connection's view of
    // things and none of the server's writes.
    case SQLITE_SAVEPOINT:
      return SQLITE_DENY;
    case SQLITE_ALTER_TABLE:
      // a: the schema, b: the table
      return a != nullptr && sqlite3_stricmp(a, "temp") == 0 && !catalog_table(b) ? SQLITE_OK
                                                                                  : SQLITE_DENY;
    case SQLITE_CREATE_TEMP_INDEX:
    case SQLITE_DROP_TEMP_INDEX:
      // a: the index, b: the table
      return catalog_table(b) ? SQLITE_DENY : SQLITE_OK;
    default:
      return SQLITE_OK;
  }
}

}  // namespace

bool DeclareTables(sqlite3* db, Session* session, std::string* error) {
  int rc = sqlite3_create_module_v2(db, kModuleName, &kModule, session, nullptr);
  if (rc != SQLITE_OK) {
    *error = std::string("cannot register the table module: ") + sqlite3_errmsg(db);
    return false;
  }
  for (size_t i = 0; i < session->tables().size(); ++i) {
    const std::string sql = "CREATE VIRTUAL TABLE temp." + Quoted(session->tables()[i].table.name) +
                            " USING " + kModuleName + "(" + std::to_string(i) + ")";
    char* message = nullptr;
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
      *error = "cannot declare table " + session->tables()[i].table.name + ": " +
               (message != nullptr ? message : sqlite3_errmsg(db));
      sqlite3_free(message);
      return false;
    }
  }
  if (sqlite3_trace_v2(db, SQLITE_TRACE_STMT | SQLITE_TRACE_PROFILE, Trace, session) !=
          SQLITE_OK ||
      sqlite3_set_authorizer(db, Authorize, session) != SQLITE_OK) {
    *error = std::string("cannot watch the connection's statements: ") + sqlite3_errmsg(db);
    return false;
  }
  return true;
}

}  // namespace tmb::sql
