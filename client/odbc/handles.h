// The driver's handles as the Driver Manager holds them: environment,
// connection, statement and the statement's descriptors. Contract:
//
// - Each handle starts with a tag of its kind; the As* functions return
//   null for a null pointer or one whose tag is not of that kind, so that an
//   entry point answers SQL_INVALID_HANDLE instead of touching it.
// - A connection owns the catalog's Database once connected; its
//   statements share its Session. Disconnect frees every statement's
//   SQLite statement before the Database closes.
// - Entry starts every entry point: it clears the handle's records (ODBC
//   keeps only the last function's).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "client/odbc/diagnostics.h"
#include "client/odbc/statement.h"
#include "client/odbc/wide_text.h"
#include "client/sql/database.h"

namespace tmb::odbc {

enum class Tag : uint32_t {
  kEnv = 0x454e5631,
  kDbc = 0x44424331,
  kStmt = 0x53544d31,
  kDesc = 0x44455331,
  kFreed = 0,
};

struct Stmt;

struct Env {
  Tag tag = Tag::kEnv;
  Diagnostics diag;
  SQLINTEGER odbc_version = SQL_OV_ODBC3;
};

struct Dbc {
  Tag tag = Tag::kDbc;
  Diagnostics diag;
  Env* env = nullptr;
  std::unique_ptr<sql::Database> database;
  Session session;
  std::string dsn;
  sql::Target target;
  std::set<Stmt*> statements;
  SQLUINTEGER login_timeout = 0;
  SQLUINTEGER access_mode = SQL_MODE_READ_WRITE;

  bool connected() const { return database != nullptr; }
};

// The four descriptors a statement hands out when asked for them. The
// driver keeps its bindings in the statement; these only answer that they
// exist.
struct Desc {
  Tag tag = Tag::kDesc;
  Diagnostics diag;
  Stmt* stmt = nullptr;
};

struct Stmt {
  explicit Stmt(Dbc* owner) : dbc(owner), statement(&owner->session) {
    for (Desc& d : descriptors) d.stmt = this;
  }
  Tag tag = Tag::kStmt;
  Dbc* dbc;
  Statement statement;
  Desc descriptors[4];  // application row, application parameter, implementation row, parameter
  SQLULEN query_timeout = 0;
  SQLULEN max_rows = 0;
  SQLULEN max_length = 0;
  SQLULEN metadata_id = SQL_FALSE;
  SQLULEN retrieve_data = SQL_RD_ON;
  SQLULEN noscan = SQL_NOSCAN_OFF;

  Diagnostics& diag() { return statement.diag(); }
};

Env* AsEnv(SQLHANDLE h);
Dbc* AsDbc(SQLHANDLE h);
Stmt* AsStmt(SQLHANDLE h);
Desc* AsDesc(SQLHANDLE h);

// The records of any handle; null when the handle is not of `type`.
Diagnostics* DiagOf(SQLSMALLINT type, SQLHANDLE h);

// The return code for a function that ended without error: with a warning
// when `diag` holds any record.
inline SQLRETURN Succeeded(const Diagnostics& diag) {
  return diag.empty() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
}

// The statement behind a handle with its records cleared, as every
// statement function starts; null for a bad handle.
inline Stmt* StmtEntry(SQLHSTMT handle) {
  Stmt* stmt = AsStmt(handle);
  if (stmt != nullptr) stmt->diag().Clear();
  return stmt;
}

}  // namespace tmb::odbc
