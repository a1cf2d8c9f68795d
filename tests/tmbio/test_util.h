// Helpers of the engine tests: a scratch data directory, data files made
// from schemas, environments pointed at the directory, records built from
// fields.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tmbio/admin.h"
#include "tmbio/tmbio.h"

namespace tmbtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tmbio-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates NAME.tmb in `dir` from a schema text; fails the test on error.
inline void MakeFile(const std::string& dir, const std::string& name, const std::string& schema) {
  tmbio::FileDefinition def;
  std::string error;
  ASSERT_TRUE(tmbio::ParseSchema(schema, &def, &error)) << error;
  ASSERT_EQ(tmbio::CreateDataFile(dir + "/" + name + ".tmb", def, &error), 0) << error;
}

// An environment whose data directory is `dir` (set as a text setting).
inline TMBEnvironment* NewEnv(const std::string& dir) {
  TMBEnvironment* env = QDK_AllocEnv();
  EXPECT_NE(env, nullptr);
  if (env != nullptr) QDSetEnvMode(env, TMBIO_ENV_DATA_DIR, reinterpret_cast<intptr_t>(dir.c_str()));
  return env;
}

inline TMBFile* Open(TMBEnvironment* env, const char* name, int16_t mode = 0) {
  int32_t error = -1;
  TMBFile* f = QDK_OpenExt(env, name, nullptr, 0, mode, &error);
  EXPECT_NE(f, nullptr) << name << ": error " << error;
  return f;
}

// The whole of a file's problems, as CheckDataFile reports them.
inline std::string Problems(const std::string& path) {
  std::vector<std::string> problems;
  int32_t status = tmbio::CheckDataFile(path, &problems);
  std::string all = "status " + std::to_string(status);
  for (const auto& p : problems) all += "\n" + p;
  return status == 0 ? std::string() : all;
}

// A record buffer with little-endian integers and blank-padded text.
class Record {
 public:
  explicit Record(size_t length) : bytes_(length, 0) {}
  Record& Int(size_t offset, int64_t v, size_t length) {
    for (size_t i = 0; i < length; ++i) bytes_[offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    return *this;
  }
  Record& Text(size_t offset, const std::string& t, size_t length) {
    for (size_t i = 0; i < length; ++i) bytes_[offset + i] = i < t.size() ? static_cast<uint8_t>(t[i]) : ' ';
    return *this;
  }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t* data() { return bytes_.data(); }
  int32_t size() const { return static_cast<int32_t>(bytes_.size()); }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

inline int64_t ReadInt(const uint8_t* p, size_t length) {
  uint64_t v = 0;
  for (size_t i = length; i-- > 0;) v = (v << 8) | p[i];
  if (length < 8 && (v >> (8 * length - 1)) & 1) v |= ~uint64_t{0} << (8 * length);
  return static_cast<int64_t>(v);
}

inline std::string ReadText(const uint8_t* p, size_t length) {
  std::string s(reinterpret_cast<const char*>(p), length);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

}  // namespace tmbtest
