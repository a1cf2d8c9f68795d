#include "tmbio/admin/data_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace tmbadmin {

OpenDataFile::~OpenDataFile() {
  if (file_ != nullptr) QDK_close(file_);
  // Also rolls back a transaction left open by a failed load.
  if (env_ != nullptr) QDK_DeAllocEnv(env_);
}

bool OpenDataFile::Open(const std::string& path, bool read_only, std::string* error) {
  std::error_code ec;
  // The library looks up relative names in its data directory, not in the
  // directory the tool was started in.
  const std::string absolute = std::filesystem::absolute(path, ec).string();
  if (ec) {
    *error = "cannot resolve the path: " + ec.message();
    return false;
  }
  std::string message;
  const int32_t status = tmbio::ReadDefinition(absolute, &definition_, &message);
  if (status < 0) {
    *error = FileError(absolute, message, status);
    return false;
  }
  env_ = QDK_AllocEnv();
  if (env_ == nullptr) {
    *error = "the library gave no environment";
    return false;
  }
  // The tool works on files directly, with the rights of whoever runs it,
  // so the logon that a users file asks of a data directory's clients is
  // not for it.
  QDSetEnvMode(nullptr, TMBIO_GLOBAL_TOOL_ACCESS, 1);
  const std::string dir = std::filesystem::path(absolute).parent_path().string();
  QDSetEnvMode(env_, 8, reinterpret_cast<intptr_t>(dir.c_str()));
  if (read_only) QDSetEnvMode(env_, 9, 1);
  int32_t open_error = 0;
  file_ = QDK_OpenExt(env_, absolute.c_str(), nullptr, 0,
                      read_only ? TMBIO_OPEN_READ_ONLY : TMBIO_OPEN_NORMAL, &open_error);
  if (file_ == nullptr) {
    *error = "cannot open: " + StatusText(-open_error);
    return false;
  }
  return true;
}

int64_t OpenDataFile::RecordCount() const {
  return file_ == nullptr ? -3 : static_cast<int64_t>(QDGetEnvMode(file_, 3));
}

std::string DataFileName(const std::string& name) {
  std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : std::string();
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return tail == ".tmb" ? name : name + ".tmb";
}

std::string FileError(const std::string& path, const std::string& message, int32_t status) {
  if (message.empty()) return StatusText(status);
  std::error_code ec;
  for (const std::string& name : {path, std::filesystem::absolute(path, ec).string()}) {
    const std::string lead = name + ": ";
    if (!name.empty() && message.rfind(lead, 0) == 0) return message.substr(lead.size());
  }
  return message;
}

std::string StatusText(int32_t status) {
  static const char* const kTexts[] = {
      "no record",                                      // -1
      "record longer than the buffer",                  // -2
      "invalid handle, mode or argument",               // -3
      "read stopped at its bound",                      // -4
      "duplicate key",                                  // -5
      "record locked by another environment",           // -6
      "file reserved by another transaction",           // -7
      "disk or database failure",                       // -8
      "access denied",                                  // -9
      "no current record",                              // -10
      "record or key length out of range",              // -11
      "transaction state",                              // -12
      "no such data file",                              // -13
      "not a data file, or its definition is invalid",  // -14
      "out of memory",                                  // -15
      "too many open files or handles",                 // -16
  };
  const std::string number = std::to_string(status);
  if (status <= -1 && status >= -16) return std::string(kTexts[-status - 1]) + " (" + number + ")";
  return "status " + number;
}

}  // namespace tmbadmin
