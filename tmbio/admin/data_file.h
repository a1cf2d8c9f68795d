// One data file opened through the library's C interface, as any client
// opens it, in an environment of its own; both are released on destruction.
#pragma once

#include <cstdint>
#include <string>

#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace tmbadmin {

class OpenDataFile {
 public:
  OpenDataFile() = default;
  OpenDataFile(const OpenDataFile&) = delete;
  OpenDataFile& operator=(const OpenDataFile&) = delete;
  ~OpenDataFile();

  // Reads the definition of the data file at `path` and opens it; with
  // `read_only` the environment is read-only, so nothing can be written.
  bool Open(const std::string& path, bool read_only, std::string* error);

  TMBEnvironment* environment() const { return env_; }
  TMBFile* file() const { return file_; }
  const tmbio::FileDefinition& definition() const { return definition_; }

  // Number of records, or a negative status.
  int64_t RecordCount() const;

 private:
  TMBEnvironment* env_ = nullptr;
  TMBFile* file_ = nullptr;
  tmbio::FileDefinition definition_;
};

// The CSV column that carries a record's variable part, in hexadecimal.
inline constexpr char kVariableColumn[] = "@variable";

// `name` as the library names data files: with ".tmb" added when missing.
std::string DataFileName(const std::string& name);

// A tool-interface error about the file at `path`, for a message that
// already starts with the file's name: without the path the library may
// put in front, or the status text when there is no message.
std::string FileError(const std::string& path, const std::string& message, int32_t status);

// What a library status means, with its number: "duplicate key (-5)".
std::string StatusText(int32_t status);

}  // namespace tmbadmin
