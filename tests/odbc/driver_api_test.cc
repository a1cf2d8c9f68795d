// The driver's entry points called directly, as the Driver Manager calls
// them, with the library opened by dlopen: handles, diagnostic records and
// fields, connection failures, information and functions offered, each in
// the narrow and the wide (UTF-16) form. No server is needed: every
// connection here fails before or at its connect.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <string>

#include "tests/e2e/server_process.h"

namespace tmb::test {
namespace {

class DriverApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen(TMB_ODBC_DRIVER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    Load(alloc_, "SQLAllocHandle");
    Load(free_, "SQLFreeHandle");
    Load(driver_connect_, "SQLDriverConnect");
    Load(diag_rec_, "SQLGetDiagRec");
    Load(diag_field_, "SQLGetDiagField");
    Load(get_info_, "SQLGetInfo");
    Load(functions_, "SQLGetFunctions");
    Load(set_attr_, "SQLSetConnectAttr");
    Load(get_attr_, "SQLGetConnectAttr");
    Load(driver_connect_w_, "SQLDriverConnectW");
    Load(diag_rec_w_, "SQLGetDiagRecW");
    Load(diag_field_w_, "SQLGetDiagFieldW");
    Load(get_info_w_, "SQLGetInfoW");
    ASSERT_EQ(alloc_(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_), SQL_SUCCESS);
    ASSERT_EQ(alloc_(SQL_HANDLE_DBC, env_, &dbc_), SQL_SUCCESS);
  }
  void TearDown() override {
    if (free_ != nullptr) {
      EXPECT_EQ(free_(SQL_HANDLE_DBC, dbc_), SQL_SUCCESS);
      EXPECT_EQ(free_(SQL_HANDLE_ENV, env_), SQL_SUCCESS);
    }
    if (lib_ != nullptr) dlclose(lib_);
  }
  template <typename F>
  void Load(F*& f, const char* name) {
    f = reinterpret_cast<F*>(dlsym(lib_, name));
    ASSERT_NE(f, nullptr) << name;
  }
  SQLRETURN Connect(const std::string& text) {
    return driver_connect_(dbc_, nullptr, (SQLCHAR*)text.c_str(), SQL_NTS, nullptr, 0, nullptr,
                           SQL_DRIVER_NOPROMPT);
  }
  SQLRETURN ConnectWide(const std::u16string& text) {
    return driver_connect_w_(dbc_, nullptr, Wide(text), SQL_NTS, nullptr, 0, nullptr,
                             SQL_DRIVER_NOPROMPT);
  }
  static SQLWCHAR* Wide(const std::u16string& text) {
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(text.c_str()));
  }
  // State and message of record `n` of the connection.
  std::string Record(SQLSMALLINT n, std::string* message = nullptr) {
    SQLCHAR state[6] = {};
    SQLCHAR text[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc = diag_rec_(SQL_HANDLE_DBC, dbc_, n, state, &native, text, sizeof text,
                                   &length);
    if (rc == SQL_NO_DATA) return "none";
    EXPECT_EQ(rc, SQL_SUCCESS);
    if (message != nullptr) *message = reinterpret_cast<char*>(text);
    return reinterpret_cast<char*>(state);
  }

  void* lib_ = nullptr;
  decltype(&SQLAllocHandle) alloc_ = nullptr;
  decltype(&SQLFreeHandle) free_ = nullptr;
  decltype(&SQLDriverConnect) driver_connect_ = nullptr;
  decltype(&SQLGetDiagRec) diag_rec_ = nullptr;
  decltype(&SQLGetDiagField) diag_field_ = nullptr;
  decltype(&SQLGetInfo) get_info_ = nullptr;
  decltype(&SQLGetFunctions) functions_ = nullptr;
  decltype(&SQLSetConnectAttr) set_attr_ = nullptr;
  decltype(&SQLGetConnectAttr) get_attr_ = nullptr;
  decltype(&SQLDriverConnectW) driver_connect_w_ = nullptr;
  decltype(&SQLGetDiagRecW) diag_rec_w_ = nullptr;
  decltype(&SQLGetDiagFieldW) diag_field_w_ = nullptr;
  decltype(&SQLGetInfoW) get_info_w_ = nullptr;
  SQLHANDLE env_ = nullptr;
  SQLHANDLE dbc_ = nullptr;
};

TEST_F(DriverApiTest, ConnectionFailuresAreRecordsOfState08001) {
  std::string message;
  // Nobody listens there.
  EXPECT_EQ(Connect("Server=127.0.0.1;Port=" + std::to_string(FreePort()) + ";Catalog=Demo"),
            SQL_ERROR);
  EXPECT_EQ(Record(1, &message), "08001");
  EXPECT_EQ(message.rfind("[tmbodbc] ", 0), 0u) << message;
  EXPECT_EQ(Record(2), "none");
  // Values that never reach the network, each named in its message.
  for (const char* bad : {"Port=0", "Identity=a/b/c", "TLS=perhaps", "PWD={open"}) {
    EXPECT_EQ(Connect(bad), SQL_ERROR) << bad;
    EXPECT_EQ(Record(1, &message), "08001") << bad;
    const std::string key(bad, std::strchr(bad, '=') - bad);
    EXPECT_NE(message.find(key), std::string::npos) << message;
  }
  // A wide connection string with a character beyond the Basic Plane: the
  // value comes back in the message, a surrogate pair in UTF-16 and four
  // bytes in UTF-8; lengths count characters of each width.
  ASSERT_EQ(ConnectWide(u"Identity=a/b/\U0001F31C"), SQL_ERROR);
  EXPECT_EQ(Record(1, &message), "08001");
  EXPECT_NE(message.find("\"a/b/\xf0\x9f\x8c\x9c\""), std::string::npos) << message;
  SQLWCHAR state[6] = {};
  SQLWCHAR wide[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  ASSERT_EQ(diag_rec_w_(SQL_HANDLE_DBC, dbc_, 1, state, &native, wide, 512, &length),
            SQL_SUCCESS);
  const std::u16string text(reinterpret_cast<const char16_t*>(wide));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(state)), u"08001");
  EXPECT_EQ(length, static_cast<SQLSMALLINT>(message.size() - 2));
  EXPECT_EQ(text.size(), static_cast<size_t>(length));
  const size_t pair = text.find(u"\U0001F31C");
  ASSERT_NE(pair, std::u16string::npos);
  // A buffer that ends inside the pair holds the text before it.
  ASSERT_EQ(diag_rec_w_(SQL_HANDLE_DBC, dbc_, 1, state, &native, wide,
                        static_cast<SQLSMALLINT>(pair + 2), &length),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), text.substr(0, pair));
  EXPECT_EQ(length, static_cast<SQLSMALLINT>(text.size()));
  // The next call clears the records of the last.
  SQLUINTEGER autocommit = 0;
  EXPECT_EQ(get_attr_(dbc_, SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(autocommit, SQL_AUTOCOMMIT_ON);
  EXPECT_EQ(Record(1), "none");
  // A statement needs an open connection.
  SQLHANDLE stmt = nullptr;
  EXPECT_EQ(alloc_(SQL_HANDLE_STMT, dbc_, &stmt), SQL_ERROR);
  EXPECT_EQ(Record(1), "08003");
  EXPECT_EQ(stmt, nullptr);
}

TEST_F(DriverApiTest, DiagnosticFieldsAndShortBuffers) {
  ASSERT_EQ(Connect("Port=99999"), SQL_ERROR);
  SQLINTEGER count = 0;
  ASSERT_EQ(diag_field_(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_NUMBER, &count, 0, nullptr),
            SQL_SUCCESS);
  EXPECT_EQ(count, 1);
  char text[64];
  SQLSMALLINT length = 0;
  ASSERT_EQ(diag_field_(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_SQLSTATE, text, sizeof text, &length),
            SQL_SUCCESS);
  EXPECT_STREQ(text, "08001");
  // Wide, a field's buffer and length count bytes.
  SQLWCHAR wide[8];
  ASSERT_EQ(diag_field_w_(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_SQLSTATE, wide, sizeof wide,
                          &length),
            SQL_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"08001");
  EXPECT_EQ(length, 10);
  EXPECT_EQ(diag_field_w_(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_SQLSTATE, wide, 6, &length),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"08");
  diag_field_(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_CLASS_ORIGIN, text, sizeof text, &length);
  EXPECT_STREQ(text, "ISO 9075");
  // A message cut to the buffer says how long it was.
  SQLCHAR state[6];
  SQLINTEGER native = 0;
  SQLCHAR small[8];
  ASSERT_EQ(diag_rec_(SQL_HANDLE_DBC, dbc_, 1, state, &native, small, sizeof small, &length),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(small)), 7u);
  EXPECT_GT(length, 20);
  EXPECT_EQ(diag_rec_(SQL_HANDLE_DBC, dbc_, 0, state, &native, small, sizeof small, &length),
            SQL_ERROR);
  EXPECT_EQ(diag_field_(SQL_HANDLE_DBC, dbc_, 2, SQL_DIAG_SQLSTATE, text, sizeof text, &length),
            SQL_NO_DATA);
  // Records of one kind of handle are not read through another kind.
  EXPECT_EQ(diag_rec_(SQL_HANDLE_STMT, dbc_, 1, state, &native, small, sizeof small, &length),
            SQL_INVALID_HANDLE);
  // An ODBC-defined state has ODBC as its origin.
  EXPECT_EQ(get_info_(dbc_, 65000, text, sizeof text, &length), SQL_ERROR);
  EXPECT_EQ(Record(1), "HY096");
  diag_field_(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_CLASS_ORIGIN, text, sizeof text, &length);
  EXPECT_STREQ(text, "ODBC 3.0");
}

TEST_F(DriverApiTest, InformationAndFunctionsOffered) {
  char text[8];
  SQLSMALLINT length = 0;
  ASSERT_EQ(get_info_(dbc_, SQL_DRIVER_ODBC_VER, text, sizeof text, &length), SQL_SUCCESS);
  EXPECT_STREQ(text, "03.00");
  EXPECT_EQ(get_info_(dbc_, SQL_DRIVER_NAME, text, 4, &length), SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(text, "lib");
  EXPECT_EQ(length, 13);
  // Wide, the same buffer of 8 bytes holds 3 characters and the NUL.
  SQLWCHAR wide[4];
  EXPECT_EQ(get_info_w_(dbc_, SQL_DRIVER_NAME, wide, sizeof wide, &length),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)), u"lib");
  EXPECT_EQ(length, 26);
  SQLUSMALLINT txn = 0;
  ASSERT_EQ(get_info_(dbc_, SQL_TXN_CAPABLE, &txn, sizeof txn, &length), SQL_SUCCESS);
  EXPECT_EQ(txn, SQL_TC_DML);
  EXPECT_EQ(length, 2);
  SQLUSMALLINT all[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE];
  ASSERT_EQ(functions_(dbc_, SQL_API_ODBC3_ALL_FUNCTIONS, all), SQL_SUCCESS);
  // What the bitmap offers is what the library exports, function by function.
  const std::pair<SQLUSMALLINT, const char*> kNamed[] = {
      {SQL_API_SQLGETDATA, "SQLGetData"},         {SQL_API_SQLENDTRAN, "SQLEndTran"},
      {SQL_API_SQLPRIMARYKEYS, "SQLPrimaryKeys"}, {SQL_API_SQLBINDPARAMETER, "SQLBindParameter"},
      {SQL_API_SQLFETCHSCROLL, "SQLFetchScroll"}, {SQL_API_SQLCANCEL, "SQLCancel"},
      {SQL_API_SQLSTATISTICS, "SQLStatistics"},   {SQL_API_SQLGETDIAGFIELD, "SQLGetDiagField"},
      {SQL_API_SQLDESCRIBEPARAM, "SQLDescribeParam"}, {SQL_API_SQLSETPOS, "SQLSetPos"},
      {SQL_API_SQLPARAMDATA, "SQLParamData"},     {SQL_API_SQLFOREIGNKEYS, "SQLForeignKeys"},
  };
  for (const auto& [f, name] : kNamed) {
    const bool exported = dlsym(lib_, name) != nullptr;
    EXPECT_EQ(SQL_FUNC_EXISTS(all, f) != 0, exported) << name;
    SQLUSMALLINT one = 2;
    functions_(dbc_, f, &one);
    EXPECT_EQ(one, exported ? SQL_TRUE : SQL_FALSE) << name;
  }
  // Every function that takes or gives a text has its wide twin, and only those.
  for (const char* name :
       {"SQLConnect", "SQLDriverConnect", "SQLBrowseConnect", "SQLExecDirect", "SQLPrepare",
        "SQLNativeSql", "SQLDescribeCol", "SQLColAttribute", "SQLColAttributes", "SQLError",
        "SQLGetDiagRec", "SQLGetDiagField", "SQLGetInfo", "SQLGetConnectAttr",
        "SQLSetConnectAttr", "SQLGetStmtAttr", "SQLSetStmtAttr", "SQLGetDescField",
        "SQLGetDescRec", "SQLSetDescField", "SQLGetCursorName", "SQLSetCursorName", "SQLTables",
        "SQLColumns", "SQLStatistics", "SQLPrimaryKeys", "SQLForeignKeys", "SQLSpecialColumns",
        "SQLProcedures", "SQLGetTypeInfo", "SQLTablePrivileges", "SQLColumnPrivileges"}) {
    const std::string wide_name = std::string(name) + "W";
    EXPECT_EQ(dlsym(lib_, name) != nullptr, dlsym(lib_, wide_name.c_str()) != nullptr) << name;
  }
  EXPECT_NE(dlsym(lib_, "SQLExecDirectW"), nullptr);
  // Autocommit is the connection's to set before it connects.
  EXPECT_EQ(set_attr_(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF),
                      0),
            SQL_SUCCESS);
  SQLUINTEGER autocommit = 1;
  get_attr_(dbc_, SQL_ATTR_AUTOCOMMIT, &autocommit, 0, nullptr);
  EXPECT_EQ(autocommit, SQL_AUTOCOMMIT_OFF);
}

}  // namespace
}  // namespace tmb::test
