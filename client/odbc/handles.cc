#include "client/odbc/handles.h"

namespace tmb::odbc {

namespace {

template <typename T>
T* As(SQLHANDLE h, Tag tag) {
  if (h == nullptr) return nullptr;
  T* p = static_cast<T*>(h);
  return p->tag == tag ? p : nullptr;
}

}  // namespace

Env* AsEnv(SQLHANDLE h) { return As<Env>(h, Tag::kEnv); }
Dbc* AsDbc(SQLHANDLE h) { return As<Dbc>(h, Tag::kDbc); }
Stmt* AsStmt(SQLHANDLE h) { return As<Stmt>(h, Tag::kStmt); }
Desc* AsDesc(SQLHANDLE h) { return As<Desc>(h, Tag::kDesc); }

Diagnostics* DiagOf(SQLSMALLINT type, SQLHANDLE h) {
  switch (type) {
    case SQL_HANDLE_ENV:
      if (Env* e = AsEnv(h)) return &e->diag;
      break;
    case SQL_HANDLE_DBC:
      if (Dbc* d = AsDbc(h)) return &d->diag;
      break;
    case SQL_HANDLE_STMT:
      if (Stmt* s = AsStmt(h)) return &s->diag();
      break;
    case SQL_HANDLE_DESC:
      if (Desc* d = AsDesc(h)) return &d->diag;
      break;
    default:
      break;
  }
  return nullptr;
}

}  // namespace tmb::odbc
