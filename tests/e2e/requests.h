// Test support: request bodies built byte by byte, reply bodies taken apart
// the same way, and registry hive texts with any keys under the settings key.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "wire/primitives.h"
#include "tests/e2e/server_process.h"

namespace tmb::test {

// A request body: the opcode, then fields appended in order.
class Body {
 public:
  explicit Body(uint8_t opcode) : bytes_{opcode} {}
  Body& U8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  Body& I16(int16_t v) {
    const uint16_t u = static_cast<uint16_t>(v);
    bytes_.push_back(static_cast<uint8_t>(u >> 8));
    bytes_.push_back(static_cast<uint8_t>(u));
    return *this;
  }
  Body& I32(int32_t v) {
    uint8_t b[4];
    StoreBigEndian32(b, static_cast<uint32_t>(v));
    bytes_.insert(bytes_.end(), b, b + 4);
    return *this;
  }
  // A counted block of exactly these bytes.
  Body& Block(const std::string& bytes) {
    I32(static_cast<int32_t>(bytes.size()));
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // A counted text with its terminator.
  Body& Text(const std::string& text) { return Block(text + std::string(1, '\0')); }
  const Bytes& bytes() const { return bytes_; }
  operator const Bytes&() const { return bytes_; }

 private:
  Bytes bytes_;
};

// Reads a reply body field by field; throws when it ends inside a field.
class Reply {
 public:
  explicit Reply(Bytes body) : body_(std::move(body)) {}
  int16_t I16() {
    Need(2);
    const int16_t v = static_cast<int16_t>((body_[pos_] << 8) | body_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  int32_t I32() {
    Need(4);
    const int32_t v = static_cast<int32_t>(LoadBigEndian32(&body_[pos_]));
    pos_ += 4;
    return v;
  }
  // A counted text; its bytes as sent, terminator included.
  std::string Block() {
    const int32_t n = I32();
    if (n < 0) throw std::runtime_error("negative block length");
    Need(static_cast<size_t>(n));
    std::string s(body_.begin() + static_cast<std::ptrdiff_t>(pos_),
                  body_.begin() + static_cast<std::ptrdiff_t>(pos_ + static_cast<size_t>(n)));
    pos_ += static_cast<size_t>(n);
    return s;
  }
  // A counted text without its terminator; throws when it has none at its end.
  std::string Text() {
    std::string s = Block();
    if (s.empty() || s.back() != '\0') throw std::runtime_error("text without terminator");
    s.pop_back();
    return s;
  }
  bool AtEnd() const { return pos_ == body_.size(); }
  const Bytes& body() const { return body_; }

 private:
  void Need(size_t n) const {
    if (body_.size() - pos_ < n) throw std::runtime_error("reply ends inside a field");
  }
  Bytes body_;
  size_t pos_ = 0;
};

// Sends `body` as one plain frame and returns the reply body (empty when the
// connection closed).
inline Reply Exchange(RawConnection& c, const Bytes& body) {
  c.SendPlain(body);
  return Reply(BodyOf(c.ReadFrame()));
}

// A hive file's text: `sections` are (key below the settings key, "" for
// the settings key itself; value lines).
inline std::string HiveText(const std::string& root,
                            const std::vector<std::pair<std::string, std::string>>& sections) {
  std::string text = "Windows Registry Editor Version 5.00\r\n";
  for (const auto& [key, lines] : sections) {
    text += "\r\n[" + root + "\\Software\\Orlane Systems\\SQL Server" + (key.empty() ? "" : "\\") +
            key + "]\r\n" + lines;
  }
  return text;
}
inline std::string UserHive(const std::vector<std::pair<std::string, std::string>>& sections) {
  return HiveText("HKEY_CURRENT_USER", sections);
}
inline std::string LocalMachineHive(
    const std::vector<std::pair<std::string, std::string>>& sections) {
  return HiveText("HKEY_LOCAL_MACHINE", sections);
}

// A registry text value line: "Name"="data" with \ and " escaped.
inline std::string TextValue(const std::string& name, const std::string& data) {
  auto escape = [](const std::string& s) {
    std::string out;
    for (char ch : s) {
      if (ch == '\\' || ch == '"') out += '\\';
      out += ch;
    }
    return out;
  };
  return "\"" + escape(name) + "\"=\"" + escape(data) + "\"\r\n";
}

}  // namespace tmb::test

namespace tmb::test {

// The counts of the server's status page; -1 when it could not be read.
struct ServerCounts {
  int slots = -1;
  int connections = -1;
  int files = -1;
};

inline int CountAfter(const std::string& page, const std::string& label) {
  const size_t at = page.find(label);
  return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + label.size());
}

inline ServerCounts ReadCounts(uint16_t port) {
  RawConnection c(port);
  c.Send({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '0', '\r', '\n', '\r', '\n'});
  const Bytes all = c.ReadAll();
  const std::string page(all.begin(), all.end());
  return {CountAfter(page, "Number of user slots in use : "),
          CountAfter(page, "Number of connections : "),
          CountAfter(page, "Number of files opened: ")};
}

// Polls the status page until `done(counts)` holds; false after 10 seconds.
// Closed connections are released on the server's own threads, so a test
// waits for their effect instead of assuming it.
template <typename Done>
bool WaitForCounts(uint16_t port, Done done) {
  for (int i = 0; i < 500; ++i) {
    if (done(ReadCounts(port))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace tmb::test

namespace tmb::test {

// A raw connection opened with a compression negotiation that turns coding
// off both ways, so that every reply body can be read as it stands.
inline std::unique_ptr<RawConnection> OpenedPlain(uint16_t port) {
  auto c = std::make_unique<RawConnection>(port);
  c->SendPlain({69, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  if (BodyOf(c->ReadFrame()) != Bytes{0}) return nullptr;
  return c;
}

}  // namespace tmb::test

namespace tmb::test {

// The resident memory of process `pid` in KiB, or -1.
inline long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace tmb::test
