// Entry points for connections: connect, disconnect, attributes,
// transactions and the functions the driver offers.
#include <odbcinst.h>

#include <cstring>

#include "client/odbc/connection_string.h"
#include "client/odbc/handles.h"

using namespace tmb::odbc;

namespace {

std::string ProfileValue(const std::string& dsn, const std::string& key) {
  char buf[1024] = {};
  SQLGetPrivateProfileString(dsn.c_str(), key.c_str(), "", buf, sizeof buf, "odbc.ini");
  return buf;
}

SQLRETURN Connect(Dbc* dbc, const ConnectionKeys& keys) {
  if (dbc->connected()) {
    dbc->diag.Add("08002", "Connection name in use: the connection is already open");
    return SQL_ERROR;
  }
  tmb::sql::Target target;
  std::string error;
  if (!ResolveTarget(keys, ProfileValue, &target, &error)) {
    dbc->diag.Add("08001", "Client unable to establish connection: " + error);
    return SQL_ERROR;
  }
  auto database = tmb::sql::Database::Open(target, &error);
  if (database == nullptr) {
    // The catalog refusing who asks is not a failure to connect.
    const bool refused = error.find("access denied") != std::string::npos ||
                         error.find("invalid user name or password") != std::string::npos ||
                         error.find("no access entry") != std::string::npos ||
                         error.find("may not read the catalog") != std::string::npos;
    dbc->diag.Add(refused ? "28000" : "08001",
                  std::string(refused ? "Invalid authorization"
                                      : "Client unable to establish connection") +
                      " at " + target.host + ":" + std::to_string(target.port) + ": " + error);
    return SQL_ERROR;
  }
  const std::string* dsn = FindKey(keys, "DSN");
  dbc->dsn = dsn != nullptr ? *dsn : "";
  dbc->target = target;
  dbc->database = std::move(database);
  dbc->session.db = dbc->database->handle();
  dbc->session.tables = &dbc->database->tables();
  dbc->session.catalog = target.catalog;
  return SQL_SUCCESS;
}

void CloseAllCursors(Dbc* dbc) {
  for (Stmt* s : dbc->statements) s->statement.CloseCursor();
}

// SQLConnect and SQLConnectW: the DSN, user and password as keys.
SQLRETURN ConnectDsn(Width width, SQLHDBC handle, const void* dsn, SQLSMALLINT dsn_length,
                     const void* user, SQLSMALLINT user_length, const void* password,
                     SQLSMALLINT password_length) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  ConnectionKeys keys = {{"DSN", TextArg(width, dsn, dsn_length)}};
  const std::string uid = TextArg(width, user, user_length);
  if (!uid.empty()) keys.emplace_back("UID", uid);
  const std::string pwd = TextArg(width, password, password_length);
  if (!pwd.empty()) keys.emplace_back("PWD", pwd);
  return Connect(dbc, keys);
}

SQLRETURN DriverConnect(Width width, SQLHDBC handle, const void* in, SQLSMALLINT in_length,
                        void* out, SQLSMALLINT out_capacity, SQLSMALLINT* out_length) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  ConnectionKeys keys;
  std::string error;
  if (!ParseConnectionString(TextArg(width, in, in_length), &keys, &error)) {
    dbc->diag.Add("08001", "Client unable to establish connection: " + error);
    return SQL_ERROR;
  }
  // Nothing to prompt with: the string and the DSN must say it all.
  const SQLRETURN rc = Connect(dbc, keys);
  if (rc != SQL_SUCCESS) return rc;
  long full = 0;
  if (TextOut::Chars(width, out, out_capacity).Put(ComposeConnectionString(keys), &full)) {
    dbc->diag.Add("01004", "String data, right truncated: the completed connection string");
  }
  if (out_length != nullptr) *out_length = static_cast<SQLSMALLINT>(full);
  return Succeeded(dbc->diag);
}

SQLRETURN GetConnectAttr(Width width, SQLHDBC handle, SQLINTEGER attribute, SQLPOINTER value,
                         SQLINTEGER capacity, SQLINTEGER* length) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  SQLUINTEGER out = 0;
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT:
      out = dbc->session.autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
      break;
    case SQL_ATTR_LOGIN_TIMEOUT:
      out = dbc->login_timeout;
      break;
    case SQL_ATTR_ACCESS_MODE:
      out = dbc->access_mode;
      break;
    case SQL_ATTR_TXN_ISOLATION:
      out = SQL_TXN_SERIALIZABLE;
      break;
    case SQL_ATTR_CONNECTION_TIMEOUT:
      out = 0;
      break;
    case SQL_ATTR_CONNECTION_DEAD:
      out = dbc->connected() && !dbc->session.lost ? SQL_CD_FALSE : SQL_CD_TRUE;
      break;
    case SQL_ATTR_CURRENT_CATALOG: {
      long full = 0;
      const bool cut = TextOut::Bytes(width, value, capacity).Put(dbc->session.catalog, &full);
      if (length != nullptr) *length = static_cast<SQLINTEGER>(full);
      if (!cut) return SQL_SUCCESS;
      dbc->diag.Add("01004", "String data, right truncated");
      return SQL_SUCCESS_WITH_INFO;
    }
    default:
      dbc->diag.Add("HY092", "Invalid attribute/option identifier: " + std::to_string(attribute));
      return SQL_ERROR;
  }
  if (value != nullptr) std::memcpy(value, &out, sizeof out);
  if (length != nullptr) *length = sizeof out;
  return SQL_SUCCESS;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLConnect(SQLHDBC handle, SQLCHAR* dsn, SQLSMALLINT dsn_length, SQLCHAR* user,
                             SQLSMALLINT user_length, SQLCHAR* password,
                             SQLSMALLINT password_length) {
  return ConnectDsn(Width::kNarrow, handle, dsn, dsn_length, user, user_length, password,
                    password_length);
}

SQLRETURN SQL_API SQLConnectW(SQLHDBC handle, SQLWCHAR* dsn, SQLSMALLINT dsn_length,
                              SQLWCHAR* user, SQLSMALLINT user_length, SQLWCHAR* password,
                              SQLSMALLINT password_length) {
  return ConnectDsn(Width::kWide, handle, dsn, dsn_length, user, user_length, password,
                    password_length);
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC handle, SQLHWND, SQLCHAR* in, SQLSMALLINT in_length,
                                   SQLCHAR* out, SQLSMALLINT out_capacity,
                                   SQLSMALLINT* out_length, SQLUSMALLINT) {
  return DriverConnect(Width::kNarrow, handle, in, in_length, out, out_capacity, out_length);
}

SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC handle, SQLHWND, SQLWCHAR* in, SQLSMALLINT in_length,
                                    SQLWCHAR* out, SQLSMALLINT out_capacity,
                                    SQLSMALLINT* out_length, SQLUSMALLINT) {
  return DriverConnect(Width::kWide, handle, in, in_length, out, out_capacity, out_length);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC handle) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  if (!dbc->connected()) {
    dbc->diag.Add("08003", "Connection not open");
    return SQL_ERROR;
  }
  if (dbc->session.InTransaction()) {
    dbc->diag.Add("25000", "Invalid transaction state: commit or roll back first");
    return SQL_ERROR;
  }
  for (Stmt* s : dbc->statements) s->statement.Free();
  dbc->session.db = nullptr;
  dbc->session.tables = nullptr;
  dbc->session.lost = false;
  dbc->database.reset();
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion) {
  if (completion != SQL_COMMIT && completion != SQL_ROLLBACK) {
    if (Diagnostics* d = DiagOf(type, handle)) {
      d->Clear();
      d->Add("HY012", "Invalid transaction operation code");
      return SQL_ERROR;
    }
    return SQL_INVALID_HANDLE;
  }
  if (type == SQL_HANDLE_ENV) {
    // The Driver Manager ends each connection's transaction on its own.
    return AsEnv(handle) != nullptr ? SQL_SUCCESS : SQL_INVALID_HANDLE;
  }
  Dbc* dbc = type == SQL_HANDLE_DBC ? AsDbc(handle) : nullptr;
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  if (!dbc->connected()) {
    dbc->diag.Add("08003", "Connection not open");
    return SQL_ERROR;
  }
  CloseAllCursors(dbc);
  return dbc->session.EndTransaction(completion == SQL_COMMIT, &dbc->diag) ? SQL_SUCCESS
                                                                          : SQL_ERROR;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC handle, SQLINTEGER attribute, SQLPOINTER value,
                                    SQLINTEGER) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  const auto number = static_cast<SQLULEN>(reinterpret_cast<uintptr_t>(value));
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT:
      if (number == SQL_AUTOCOMMIT_ON && !dbc->session.autocommit && dbc->connected()) {
        // Turning autocommit on commits what is open, as ODBC has it.
        CloseAllCursors(dbc);
        if (!dbc->session.EndTransaction(true, &dbc->diag)) return SQL_ERROR;
      }
      dbc->session.autocommit = number == SQL_AUTOCOMMIT_ON;
      return SQL_SUCCESS;
    case SQL_ATTR_LOGIN_TIMEOUT:
      dbc->login_timeout = static_cast<SQLUINTEGER>(number);
      return SQL_SUCCESS;
    case SQL_ATTR_ACCESS_MODE:
      dbc->access_mode = static_cast<SQLUINTEGER>(number);
      return SQL_SUCCESS;
    case SQL_ATTR_TXN_ISOLATION:
      if (number == SQL_TXN_SERIALIZABLE) return SQL_SUCCESS;
      dbc->diag.Add("01S02", "Option value changed: transactions are serializable");
      return SQL_SUCCESS_WITH_INFO;
    case SQL_ATTR_CONNECTION_TIMEOUT:
    case SQL_ATTR_PACKET_SIZE:
    case SQL_ATTR_QUIET_MODE:
      return SQL_SUCCESS;
    default:
      dbc->diag.Add("HYC00", "Optional feature not implemented: connection attribute " +
                                 std::to_string(attribute));
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC handle, SQLINTEGER attribute, SQLPOINTER value,
                                     SQLINTEGER length) {
  // No attribute the driver takes is a text; those that are (the current
  // catalog, the translation library) it refuses in either width.
  return SQLSetConnectAttr(handle, attribute, value, length);
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC handle, SQLINTEGER attribute, SQLPOINTER value,
                                    SQLINTEGER capacity, SQLINTEGER* length) {
  return GetConnectAttr(Width::kNarrow, handle, attribute, value, capacity, length);
}

SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC handle, SQLINTEGER attribute, SQLPOINTER value,
                                     SQLINTEGER capacity, SQLINTEGER* length) {
  return GetConnectAttr(Width::kWide, handle, attribute, value, capacity, length);
}

SQLRETURN SQL_API SQLGetFunctions(SQLHDBC handle, SQLUSMALLINT function,
                                  SQLUSMALLINT* supported) {
  Dbc* dbc = AsDbc(handle);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  dbc->diag.Clear();
  static const SQLUSMALLINT kOffered[] = {
      SQL_API_SQLALLOCHANDLE,   SQL_API_SQLFREEHANDLE,     SQL_API_SQLFREESTMT,
      SQL_API_SQLCONNECT,       SQL_API_SQLDRIVERCONNECT,  SQL_API_SQLDISCONNECT,
      SQL_API_SQLEXECDIRECT,    SQL_API_SQLPREPARE,        SQL_API_SQLEXECUTE,
      SQL_API_SQLBINDPARAMETER, SQL_API_SQLNUMPARAMS,      SQL_API_SQLFETCH,
      SQL_API_SQLFETCHSCROLL,   SQL_API_SQLGETDATA,        SQL_API_SQLBINDCOL,
      SQL_API_SQLNUMRESULTCOLS, SQL_API_SQLDESCRIBECOL,    SQL_API_SQLCOLATTRIBUTE,
      SQL_API_SQLROWCOUNT,      SQL_API_SQLMORERESULTS,    SQL_API_SQLTABLES,
      SQL_API_SQLCOLUMNS,       SQL_API_SQLSTATISTICS,     SQL_API_SQLPRIMARYKEYS,
      SQL_API_SQLGETINFO,       SQL_API_SQLGETTYPEINFO,    SQL_API_SQLSETCONNECTATTR,
      SQL_API_SQLGETCONNECTATTR, SQL_API_SQLSETSTMTATTR,   SQL_API_SQLGETSTMTATTR,
      SQL_API_SQLSETENVATTR,    SQL_API_SQLGETENVATTR,     SQL_API_SQLENDTRAN,
      SQL_API_SQLGETDIAGREC,    SQL_API_SQLGETDIAGFIELD,   SQL_API_SQLCLOSECURSOR,
      SQL_API_SQLCANCEL,        SQL_API_SQLGETFUNCTIONS,
  };
  auto offered = [](SQLUSMALLINT f) {
    for (SQLUSMALLINT o : kOffered) {
      if (o == f) return true;
    }
    return false;
  };
  if (supported == nullptr) return SQL_SUCCESS;
  if (function == SQL_API_ODBC3_ALL_FUNCTIONS) {
    std::memset(supported, 0, SQL_API_ODBC3_ALL_FUNCTIONS_SIZE * sizeof(SQLUSMALLINT));
    for (SQLUSMALLINT f : kOffered) supported[f >> 4] |= static_cast<SQLUSMALLINT>(1 << (f & 15));
    return SQL_SUCCESS;
  }
  if (function == SQL_API_ALL_FUNCTIONS) {
    std::memset(supported, 0, 100 * sizeof(SQLUSMALLINT));
    for (SQLUSMALLINT f : kOffered) {
      if (f < 100) supported[f] = SQL_TRUE;
    }
    return SQL_SUCCESS;
  }
  *supported = offered(function) ? SQL_TRUE : SQL_FALSE;
  return SQL_SUCCESS;
}

}  // extern "C"
