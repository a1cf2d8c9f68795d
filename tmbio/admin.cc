// The tools' side of the library (admin.h): creating data files, reading
// their definitions and checking them.
#include "admin.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

#include "data_file.h"
#include "definition.h"
#include "key_image.h"

namespace tmbio {

namespace {

constexpr int kBusyMs = 5000;
constexpr size_t kMaxProblems = 1000;

int32_t Fail(std::string* error, int32_t status, const std::string& what) {
  if (error != nullptr) *error = what;
  return status;
}

class Db {
 public:
  ~Db() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
  }
  int Open(const std::string& path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                             kDataFileVfs);
    if (rc == SQLITE_OK) sqlite3_busy_timeout(db_, kBusyMs);
    return rc;
  }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

int32_t StatPath(const std::string& path, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Fail(error, TMBIO_NO_FILE, path + ": no such data file");
  }
  return 0;
}

}  // namespace

int32_t CreateDataFile(const std::string& path, const FileDefinition& def, std::string* error) {
  FileDefinition checked = def;
  std::string why;
  if (!ValidateDefinition(&checked, &why)) return Fail(error, TMBIO_INVALID, why);
  // O_EXCL: an existing file is never replaced, even by a racing create.
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) return Fail(error, TMBIO_DENIED, path + ": exists already");
    return Fail(error, err == ENOENT ? TMBIO_NO_FILE : err == EACCES ? TMBIO_DENIED : TMBIO_IO_ERROR,
                path + ": " + strerror(err));
  }
  close(fd);
  int32_t status = 0;
  {
    Db db;
    int rc = db.Open(path);
    if (rc != SQLITE_OK) {
      status = Fail(error, TMBIO_IO_ERROR, path + ": " + sqlite3_errstr(rc));
    } else {
      // WAL is kept in the file: readers never block the writer.
      rc = sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; BEGIN", nullptr,
                        nullptr, nullptr);
      if (rc != SQLITE_OK) {
        status = Fail(error, TMBIO_IO_ERROR, sqlite3_errmsg(db.get()));
      } else {
        status = CreateTables(db.get(), checked, error);
        if (status == 0 && sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
          status = Fail(error, TMBIO_IO_ERROR, sqlite3_errmsg(db.get()));
        }
      }
    }
  }
  if (status != 0) {
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
  }
  return status;
}

int32_t ReadDefinition(const std::string& path, FileDefinition* def, std::string* error) {
  int32_t status = StatPath(path, error);
  if (status != 0) return status;
  Db db;
  int rc = db.Open(path);
  if (rc != SQLITE_OK) return Fail(error, StatusOf(rc), path + ": " + sqlite3_errstr(rc));
  return LoadDefinition(db.get(), def, error);
}

int32_t CheckDataFile(const std::string& path, std::vector<std::string>* problems) {
  std::vector<std::string> found;
  auto problem = [&found](const std::string& p) {
    if (found.size() < kMaxProblems) found.push_back(p);
  };
  auto finish = [&](int32_t status) {
    if (found.size() >= kMaxProblems) found.push_back("(further problems not listed)");
    if (problems != nullptr) *problems = found;
    return status;
  };
  std::string error;
  if (StatPath(path, &error) != 0) {
    problem(error);
    return finish(TMBIO_NO_FILE);
  }
  Db db;
  int rc = db.Open(path);
  if (rc != SQLITE_OK) {
    problem(path + ": " + sqlite3_errstr(rc));
    return finish(StatusOf(rc));
  }
  sqlite3_stmt* s = nullptr;
  rc = sqlite3_prepare_v2(db.get(), "PRAGMA integrity_check", -1, &s, nullptr);
  if (rc != SQLITE_OK) {
    problem(std::string("integrity check: ") + sqlite3_errmsg(db.get()));
    return finish(TMBIO_CORRUPT);
  }
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const char* line = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    if (line != nullptr && strcmp(line, "ok") != 0) problem(std::string("sqlite: ") + line);
  }
  sqlite3_finalize(s);
  if (rc != SQLITE_DONE) {
    problem(std::string("integrity check: ") + sqlite3_errstr(rc));
    return finish(StatusOf(rc));
  }
  FileDefinition def;
  if (LoadDefinition(db.get(), &def, &error) != 0) {
    problem(error);
    return finish(TMBIO_CORRUPT);
  }
  const size_t n = def.keys.size();

  // Every key has its index, unique exactly when the key refuses duplicates.
  std::map<std::string, bool> indexes;
  if (sqlite3_prepare_v2(db.get(), "SELECT name, \"unique\" FROM pragma_index_list('records')", -1, &s,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(s) == SQLITE_ROW) {
      indexes[reinterpret_cast<const char*>(sqlite3_column_text(s, 0))] = sqlite3_column_int(s, 1) != 0;
    }
  }
  sqlite3_finalize(s);
  for (size_t k = 1; k <= n; ++k) {
    std::string name = "records_k" + std::to_string(k);
    auto it = indexes.find(name);
    if (it == indexes.end()) {
      problem("key " + std::to_string(k) + ": index " + name + " is missing");
    } else if (it->second != def.keys[k - 1].unique) {
      problem("key " + std::to_string(k) + ": index " + name +
              (it->second ? " refuses duplicates the key allows" : " allows duplicates the key refuses"));
    }
  }

  // Every record: its length, its position, and each key's image.
  std::string sql = "SELECT pos, data";
  for (size_t k = 1; k <= n; ++k) sql += ", k" + std::to_string(k);
  sql += " FROM records ORDER BY pos";
  Schema schema(def);
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    problem(std::string("records: ") + sqlite3_errmsg(db.get()));
    return finish(TMBIO_CORRUPT);
  }
  std::string image;
  const int64_t longest = static_cast<int64_t>(def.record_length) + def.variable_length;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    const int64_t pos = sqlite3_column_int64(s, 0);
    const std::string where = "record " + std::to_string(pos) + ": ";
    if (pos < 1 || pos > std::numeric_limits<int32_t>::max()) problem(where + "position out of range");
    if (sqlite3_column_type(s, 1) != SQLITE_BLOB) {
      problem(where + "data is not a blob");
      continue;
    }
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
    const int64_t length = sqlite3_column_bytes(s, 1);
    if (length < def.record_length || length > longest) {
      problem(where + "length " + std::to_string(length) + " out of range");
      continue;
    }
    for (size_t k = 0; k < n; ++k) {
      const int col = static_cast<int>(k + 2);
      const bool present = BuildImage(schema.keys()[k], data, &image);
      const bool stored = sqlite3_column_type(s, col) != SQLITE_NULL;
      const std::string key = "key " + std::to_string(k + 1) + " ";
      if (present != stored) {
        problem(where + key + (present ? "entry missing" : "entry for a record the key leaves out"));
      } else if (present && (sqlite3_column_type(s, col) != SQLITE_BLOB ||
                             static_cast<size_t>(sqlite3_column_bytes(s, col)) != image.size() ||
                             memcmp(sqlite3_column_blob(s, col), image.data(), image.size()) != 0)) {
        problem(where + key + "entry does not match the record");
      }
    }
  }
  sqlite3_finalize(s);
  if (rc != SQLITE_DONE) {
    problem(std::string("records: ") + sqlite3_errstr(rc));
    return finish(StatusOf(rc));
  }

  // Unique keys hold no duplicate (the index guarantees it while it exists).
  for (size_t k = 1; k <= n; ++k) {
    if (!def.keys[k - 1].unique) continue;
    std::string col = "k" + std::to_string(k);
    std::string q = "SELECT count(*) FROM (SELECT " + col + " FROM records WHERE " + col +
                    " IS NOT NULL GROUP BY " + col + " HAVING count(*) > 1)";
    if (sqlite3_prepare_v2(db.get(), q.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int64(s, 0) > 0) {
      problem("key " + std::to_string(k) + ": " + std::to_string(sqlite3_column_int64(s, 0)) +
              " values held twice in a unique key");
    }
    sqlite3_finalize(s);
  }
  return finish(found.empty() ? 0 : TMBIO_CORRUPT);
}

}  // namespace tmbio
