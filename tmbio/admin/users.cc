// tmbadmin adduser: the users file of a data directory, one line a user.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <vector>

#include "tmbio/admin.h"
#include "tmbio/admin/commands.h"

namespace tmbadmin {

namespace {

// The users file is read by the library at every logon; a longer one is not
// one we wrote.
constexpr size_t kMaxUsersFileBytes = 1 << 20;

// Logons compare names ignoring ASCII case, so one user is one line
// whatever case each line spells the name in.
bool SameName(std::string_view line, std::string_view name) {
  const std::string_view other = line.substr(0, line.find(':'));
  if (other.size() != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(other[i]) != lower(name[i])) return false;
  }
  return true;
}

// Replaces `path` with `text` in one step, so that a logon never reads half
// a file, with permissions that keep the hashes from other users.
bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = temp + ": cannot create: " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = temp + ": cannot write: " + std::strerror(errno);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    *error = temp + ": cannot write: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = path + ": cannot replace: " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int AddUserCommand(const std::string& data_dir, const std::string& name,
                   const std::string& given_password, const std::string& attributes,
                   std::ostream& out, std::ostream& err) {
  if (name.empty() || name.find_first_of(":\r\n") != std::string::npos) {
    err << "adduser: a user name is not empty and holds no ':' or line break\n";
    return 1;
  }
  if (attributes.find_first_of("\r\n") != std::string::npos) {
    err << "adduser: the attributes hold no line break\n";
    return 1;
  }
  std::string password = given_password;
  if (password == "-") {
    // Read from standard input, so that it does not show in the process list.
    if (!std::getline(std::cin, password)) {
      err << "adduser: no password on standard input\n";
      return 1;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(data_dir, ec)) {
    err << data_dir << ": not a directory\n";
    return 1;
  }
  const std::string path = (std::filesystem::path(data_dir) / "tmbusers").string();

  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::string line;
    size_t total = 0;
    while (std::getline(in, line)) {
      total += line.size() + 1;
      if (total > kMaxUsersFileBytes) {
        err << path << ": larger than " << kMaxUsersFileBytes << " bytes\n";
        return 1;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    if (in.bad()) {
      err << path << ": read error\n";
      return 1;
    }
  } else if (std::filesystem::exists(path, ec)) {
    err << path << ": cannot open: " << std::strerror(errno) << "\n";
    return 1;
  }

  const std::string entry = tmbio::MakeUserLine(name, password, attributes);
  if (entry.empty()) {
    err << "adduser: the library refused the user " << name << "\n";
    return 1;
  }
  bool replaced = false;
  for (std::string& line : lines) {
    if (SameName(line, name)) {
      line =
          replaced ? std::string() : entry;  // a name twice: the first line stays, in the new form
      replaced = true;
    }
  }
  if (!replaced) lines.push_back(entry);
  std::string text;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    text += line;
    text += '\n';
  }
  std::string error;
  if (!WriteWhole(path, text, &error)) {
    err << error << "\n";
    return 1;
  }
  out << (replaced ? "replaced user " : "added user ") << name << " in " << path << "\n";
  return 0;
}

}  // namespace tmbadmin
