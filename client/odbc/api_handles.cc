// Entry points for handles, environment attributes and diagnostics.
#include <cstring>

#include "client/odbc/handles.h"

using namespace tmb::odbc;

namespace {

// The message's capacity and length count characters of the caller's width.
SQLRETURN GetDiagRec(Width width, SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                     void* state, SQLINTEGER* native, void* message, SQLSMALLINT capacity,
                     SQLSMALLINT* length) {
  Diagnostics* diag = DiagOf(type, handle);
  if (diag == nullptr) return SQL_INVALID_HANDLE;
  if (number <= 0) return SQL_ERROR;
  if (capacity < 0) return SQL_ERROR;
  if (static_cast<size_t>(number) > diag->records().size()) return SQL_NO_DATA;
  const DiagRecord& r = diag->records()[number - 1];
  TextOut::Chars(width, state, SQL_SQLSTATE_SIZE + 1).Put(r.state, nullptr);
  if (native != nullptr) *native = r.native;
  long full = 0;
  const bool cut = TextOut::Chars(width, message, capacity).Put(r.message, &full);
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(full);
  return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

// A text field's capacity and length count bytes in either width.
SQLRETURN GetDiagField(Width width, SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                       SQLSMALLINT field, SQLPOINTER info, SQLSMALLINT capacity,
                       SQLSMALLINT* length) {
  Diagnostics* diag = DiagOf(type, handle);
  if (diag == nullptr) return SQL_INVALID_HANDLE;
  auto put_int = [&](SQLINTEGER v) {
    if (info != nullptr) std::memcpy(info, &v, sizeof v);
    return SQL_SUCCESS;
  };
  auto put_len = [&](SQLLEN v) {
    if (info != nullptr) std::memcpy(info, &v, sizeof v);
    return SQL_SUCCESS;
  };
  auto put_text = [&](const std::string& text) {
    long full = 0;
    const bool cut = TextOut::Bytes(width, info, capacity).Put(text, &full);
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(full);
    return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  };
  // Header fields.
  switch (field) {
    case SQL_DIAG_NUMBER:
      return put_int(static_cast<SQLINTEGER>(diag->records().size()));
    case SQL_DIAG_RETURNCODE:
      if (info != nullptr) *static_cast<SQLRETURN*>(info) = Succeeded(*diag);
      return SQL_SUCCESS;
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_CURSOR_ROW_COUNT: {
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      SQLLEN rows = -1;
      AsStmt(handle)->statement.RowCount(&rows);
      return put_len(rows);
    }
    case SQL_DIAG_DYNAMIC_FUNCTION:
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      return put_text("");
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      return put_int(SQL_DIAG_UNKNOWN_STATEMENT);
    default:
      break;
  }
  if (number <= 0) return SQL_ERROR;
  if (static_cast<size_t>(number) > diag->records().size()) return SQL_NO_DATA;
  const DiagRecord& r = diag->records()[number - 1];
  switch (field) {
    case SQL_DIAG_SQLSTATE:
      return put_text(r.state);
    case SQL_DIAG_NATIVE:
      return put_int(r.native);
    case SQL_DIAG_MESSAGE_TEXT:
      return put_text(r.message);
    case SQL_DIAG_CLASS_ORIGIN:
      return put_text(ClassOrigin(r.state.substr(0, 2)));
    case SQL_DIAG_SUBCLASS_ORIGIN:
      return put_text(ClassOrigin(r.state));
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME: {
      Dbc* dbc = type == SQL_HANDLE_DBC    ? AsDbc(handle)
                 : type == SQL_HANDLE_STMT ? AsStmt(handle)->dbc
                                           : nullptr;
      if (dbc == nullptr) return put_text("");
      return put_text(field == SQL_DIAG_SERVER_NAME ? dbc->target.host : dbc->dsn);
    }
    case SQL_DIAG_COLUMN_NUMBER:
      return put_int(SQL_COLUMN_NUMBER_UNKNOWN);
    case SQL_DIAG_ROW_NUMBER:
      return put_len(SQL_ROW_NUMBER_UNKNOWN);
    default:
      return SQL_ERROR;
  }
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
  if (output == nullptr) return SQL_ERROR;
  *output = SQL_NULL_HANDLE;
  switch (type) {
    case SQL_HANDLE_ENV:
      *output = new Env;
      return SQL_SUCCESS;
    case SQL_HANDLE_DBC: {
      Env* env = AsEnv(input);
      if (env == nullptr) return SQL_INVALID_HANDLE;
      env->diag.Clear();
      Dbc* dbc = new Dbc;
      dbc->env = env;
      *output = dbc;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
      Dbc* dbc = AsDbc(input);
      if (dbc == nullptr) return SQL_INVALID_HANDLE;
      dbc->diag.Clear();
      if (!dbc->connected()) {
        dbc->diag.Add("08003", "Connection not open");
        return SQL_ERROR;
      }
      Stmt* stmt = new Stmt(dbc);
      dbc->statements.insert(stmt);
      *output = stmt;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DESC: {
      Dbc* dbc = AsDbc(input);
      if (dbc == nullptr) return SQL_INVALID_HANDLE;
      dbc->diag.Clear();
      dbc->diag.Add("HYC00", "Optional feature not implemented: explicit descriptors");
      return SQL_ERROR;
    }
    default:
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
  switch (type) {
    case SQL_HANDLE_ENV: {
      Env* env = AsEnv(handle);
      if (env == nullptr) return SQL_INVALID_HANDLE;
      env->tag = Tag::kFreed;
      delete env;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DBC: {
      Dbc* dbc = AsDbc(handle);
      if (dbc == nullptr) return SQL_INVALID_HANDLE;
      dbc->diag.Clear();
      if (dbc->connected()) {
        dbc->diag.Add("HY010", "Function sequence error: the connection is still open");
        return SQL_ERROR;
      }
      for (Stmt* s : dbc->statements) {
        s->tag = Tag::kFreed;
        delete s;
      }
      dbc->tag = Tag::kFreed;
      delete dbc;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
      Stmt* stmt = AsStmt(handle);
      if (stmt == nullptr) return SQL_INVALID_HANDLE;
      stmt->dbc->statements.erase(stmt);
      stmt->tag = Tag::kFreed;
      delete stmt;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DESC:
      // Only implicit descriptors exist; they go with their statement.
      if (AsDesc(handle) == nullptr) return SQL_INVALID_HANDLE;
      AsDesc(handle)->diag.Clear();
      AsDesc(handle)->diag.Add("HY017", "Invalid use of an automatically allocated descriptor");
      return SQL_ERROR;
    default:
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT handle, SQLUSMALLINT option) {
  Stmt* stmt = AsStmt(handle);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diag().Clear();
  switch (option) {
    case SQL_CLOSE:
      stmt->statement.CloseCursor();
      return SQL_SUCCESS;
    case SQL_UNBIND:
      stmt->statement.Unbind();
      return SQL_SUCCESS;
    case SQL_RESET_PARAMS:
      stmt->statement.ResetParams();
      return SQL_SUCCESS;
    case SQL_DROP:
      return SQLFreeHandle(SQL_HANDLE_STMT, handle);
    default:
      stmt->diag().Add("HY092", "Invalid attribute/option identifier");
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV handle, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER) {
  Env* env = AsEnv(handle);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  env->diag.Clear();
  const auto number = static_cast<SQLINTEGER>(reinterpret_cast<intptr_t>(value));
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      env->odbc_version = number;
      return SQL_SUCCESS;
    case SQL_ATTR_OUTPUT_NTS:
      if (number == SQL_TRUE) return SQL_SUCCESS;
      env->diag.Add("HYC00", "Optional feature not implemented: strings are NUL-terminated");
      return SQL_ERROR;
    case SQL_ATTR_CONNECTION_POOLING:
    case SQL_ATTR_CP_MATCH:
      return SQL_SUCCESS;
    default:
      env->diag.Add("HY092", "Invalid attribute/option identifier");
      return SQL_ERROR;
  }
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV handle, SQLINTEGER attribute, SQLPOINTER value,
                                SQLINTEGER, SQLINTEGER* length) {
  Env* env = AsEnv(handle);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  env->diag.Clear();
  SQLUINTEGER out = 0;
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      out = static_cast<SQLUINTEGER>(env->odbc_version);
      break;
    case SQL_ATTR_OUTPUT_NTS:
      out = SQL_TRUE;
      break;
    case SQL_ATTR_CONNECTION_POOLING:
      out = SQL_CP_OFF;
      break;
    default:
      env->diag.Add("HY092", "Invalid attribute/option identifier");
      return SQL_ERROR;
  }
  if (value != nullptr) std::memcpy(value, &out, sizeof out);
  if (length != nullptr) *length = sizeof out;
  return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                                SQLCHAR* state, SQLINTEGER* native, SQLCHAR* message,
                                SQLSMALLINT capacity, SQLSMALLINT* length) {
  return GetDiagRec(Width::kNarrow, type, handle, number, state, native, message, capacity,
                    length);
}

SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                                 SQLWCHAR* state, SQLINTEGER* native, SQLWCHAR* message,
                                 SQLSMALLINT capacity, SQLSMALLINT* length) {
  return GetDiagRec(Width::kWide, type, handle, number, state, native, message, capacity,
                    length);
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                                  SQLSMALLINT field, SQLPOINTER info, SQLSMALLINT capacity,
                                  SQLSMALLINT* length) {
  return GetDiagField(Width::kNarrow, type, handle, number, field, info, capacity, length);
}

SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT number,
                                   SQLSMALLINT field, SQLPOINTER info, SQLSMALLINT capacity,
                                   SQLSMALLINT* length) {
  return GetDiagField(Width::kWide, type, handle, number, field, info, capacity, length);
}

}  // extern "C"
